#include "cli.h"
#include "toollog.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trel"));
    ToolLog::install();
    Cli cli;
    return cli.run(QCoreApplication::arguments().mid(1));
}
