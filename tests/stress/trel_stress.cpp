// trel_stress: the reliability scenarios' program. scripts/stress runs its modes as
// separate processes (workers, a reader, a cleaner) against one installation, kills
// them, restarts the server under them, and finally checks the database against what
// the workers recorded.
//
//   trel_stress init ROOT sqlite | init ROOT mariadb ENVFILE DATABASE
//   trel_stress worker ROOT N SEED MANIFEST [--interval MS] [--busy-timeout MS]
//                     [--stop-file FILE] [--max-seconds S] [--require-written]
//   trel_stress reader ROOT SECONDS [--stop-file FILE] [--cli PATH]
//   trel_stress cleaner ROOT SECONDS KEEP LOG [--stop-file FILE] [--pause MS]
//                       [--busy-timeout MS]
//   trel_stress crash ROOT ROUNDS WORKERS SEED DIR [--min-ms MS] [--max-ms MS]
//                     [--busy-timeout MS]
//   trel_stress locked ROOT ROUNDS MANIFEST [--busy-timeout MS]
//   trel_stress check ROOT MANIFEST... [--cleaner LOG]... [--label TEXT]
//                     [--expect-failures] [--expect-recovery] [--expect-unfinished]

#include "modes.h"
#include "stressdb.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>
#include <cstdio>
#include <thread>

namespace stress {

QString tagOf(const QString& manifestPath) {
    return QFileInfo(manifestPath).completeBaseName();
}

bool validTag(const QString& tag) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return pattern.match(tag).hasMatch();
}

qint64 nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace stress

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString mode = args.value(0);
    args = args.mid(1);
    if (mode == QLatin1String("init"))
        return StressDb::init(args);
    if (mode == QLatin1String("worker"))
        return runWorker(args);
    if (mode == QLatin1String("reader"))
        return runReader(args);
    if (mode == QLatin1String("cleaner"))
        return runCleaner(args);
    if (mode == QLatin1String("crash"))
        return runCrash(args);
    if (mode == QLatin1String("locked"))
        return runLocked(args);
    if (mode == QLatin1String("check"))
        return runCheck(args);
    std::fprintf(stderr, "usage: trel_stress init|worker|reader|cleaner|crash|locked|check ...\n"
                         "(each mode without arguments tells its own)\n");
    return 2;
}
