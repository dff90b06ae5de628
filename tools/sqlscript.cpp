#include "sqlscript.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

#ifndef TREL_SOURCE_SCHEMA_DIR
#define TREL_SOURCE_SCHEMA_DIR ""
#endif
#ifndef TREL_INSTALLED_SCHEMA_DIR
#define TREL_INSTALLED_SCHEMA_DIR ""
#endif

QStringList SqlScript::split(const QString& script) {
    QStringList statements;
    QString delimiter = QStringLiteral(";");
    QString current;
    bool inTrigger = false;
    const QStringList lines = script.split(QLatin1Char('\n'));
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (current.isEmpty() && (line.isEmpty() || line.startsWith(QLatin1String("--"))))
            continue;
        if (line.startsWith(QLatin1String("DELIMITER "), Qt::CaseInsensitive)) {
            delimiter = line.mid(10).trimmed();
            continue;
        }
        if (current.isEmpty() && delimiter == QLatin1String(";") &&
            line.startsWith(QLatin1String("CREATE TRIGGER"), Qt::CaseInsensitive))
            inTrigger = true;
        current += rawLine + QLatin1Char('\n');
        bool ends = false;
        if (inTrigger)
            ends = line.compare(QLatin1String("END;"), Qt::CaseInsensitive) == 0;
        else
            ends = line.endsWith(delimiter);
        if (ends) {
            QString statement = current.trimmed();
            if (!inTrigger)
                statement.chop(delimiter.size());
            // SQLite wants the trigger's closing semicolon, MySQL a body without ";;".
            statements << statement.trimmed();
            current.clear();
            inTrigger = false;
        }
    }
    if (!current.trimmed().isEmpty())
        statements << current.trimmed();
    return statements;
}

bool SqlScript::apply(QSqlDatabase& database, const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QStringList statements = split(QString::fromUtf8(file.readAll()));
    for (const QString& statement : statements) {
        QSqlQuery query(database);
        if (!query.exec(statement)) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(statement.left(80).simplified(),
                                                      query.lastError().text());
            return false;
        }
    }
    return true;
}

QString SqlScript::schemaFile(const QString& kind) {
    const QString name = kind + QStringLiteral(".sql");
    // The installed schema lies beside the installed program (a path relative to its
    // folder), so that an installation under another prefix than the build's finds it.
    QString installed;
    if (QCoreApplication::instance())
        installed = QDir(QCoreApplication::applicationDirPath())
                        .filePath(QStringLiteral(TREL_INSTALLED_SCHEMA_DIR));
    const QStringList dirs = {QString::fromLocal8Bit(qgetenv("TREL_SCHEMA_DIR")), installed,
                              QStringLiteral(TREL_SOURCE_SCHEMA_DIR)};
    for (const QString& dir : dirs) {
        if (dir.isEmpty())
            continue;
        const QString path = QDir(dir).filePath(name);
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}
