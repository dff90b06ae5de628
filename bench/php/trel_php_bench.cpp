// The PHP extension's overhead on real pages. One run serves dokuwiki (Debian's
// package) and the end-to-end check's small application under `php -S`, each three
// times: without the extension, with it (function statistics on) and with it
// (function statistics off), all on one SQLite installation. Every round asks each page
// four ways, in turn and in rotating order so that drift in the machine's load hits all
// alike: not loaded, loaded but not admitted (no token), admitted with function
// statistics, admitted without. The counters are the median latencies of a whole
// keep-alive-less GET, the median CPU time the server spent on it, and the overhead of
// each way over "not loaded".
// TREL_BENCH_SHORT=1 (the test command) asks a few rounds only.

#include "phpserver.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const kUserAgent = "Mozilla/5.0 (X11; Linux x86_64) TrelBench/1.0";

// Runs a program to its end; false (and its output on stderr) when it fails.
bool runProgram(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    std::fprintf(stderr, "%s %s failed:\n%s\n", qPrintable(program),
                 qPrintable(arguments.join(QLatin1Char(' '))), process.readAll().constData());
    return false;
}

// One application served the three ways.
struct Site {
    std::unique_ptr<PhpServer> plain;
    std::unique_ptr<PhpServer> traced;
    std::unique_ptr<PhpServer> tracedWithoutStats;

    Site(const QString& docroot, const QStringList& options, const QString& root,
         const QProcessEnvironment& environment) {
        const QStringList trel{QStringLiteral("extension=" TREL_PHP_EXTENSION),
                               QStringLiteral("trel.root=") + root};
        plain = std::make_unique<PhpServer>(docroot, options, environment);
        traced = std::make_unique<PhpServer>(
            docroot, options + trel + QStringList{QStringLiteral("trel.function_stats=1")},
            environment);
        tracedWithoutStats = std::make_unique<PhpServer>(
            docroot, options + trel + QStringList{QStringLiteral("trel.function_stats=0")},
            environment);
    }
    bool isListening() const {
        return plain->isListening() && traced->isListening() && tracedWithoutStats->isListening();
    }
};

struct Setup {
    QTemporaryDir dir;
    std::unique_ptr<Site> dokuwiki;
    std::unique_ptr<Site> app;

    bool prepare() {
        const QString root = dir.filePath(QStringLiteral("trel"));
        const QString wiki = dir.filePath(QStringLiteral("dokuwiki"));
        const QString cli = QStringLiteral(TREL_CLI);
        if (!dir.isValid() || !runProgram(cli, {QStringLiteral("init"), root}) ||
            !runProgram(cli,
                        {QStringLiteral("token"), QStringLiteral("add"), root,
                         QStringLiteral("bench"), QStringLiteral("--ttl"), QStringLiteral("1d")}) ||
            !runProgram(cli, {QStringLiteral("agent"), QStringLiteral("add"), root,
                              QStringLiteral("Bench"), QStringLiteral("TrelBench/")}) ||
            !runProgram(QStringLiteral("sh"),
                        {QStringLiteral(TREL_SOURCE_DIR "/tests/php/dokuwiki_site.sh"), wiki}))
            return false;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("E2E_DATA"), dir.path());
        dokuwiki = std::make_unique<Site>(
            QStringLiteral("/usr/share/dokuwiki"),
            QStringList{QStringLiteral("auto_prepend_file=%1/prepend.php").arg(wiki)}, root,
            environment);
        app = std::make_unique<Site>(QStringLiteral(TREL_SOURCE_DIR "/tests/php/app"),
                                     QStringList(), root, environment);
        if (dokuwiki->isListening() && app->isListening())
            return true;
        std::fprintf(stderr, "php -S did not start\n");
        return false;
    }
};

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

void BM_PhpPage(benchmark::State& state, const Site* site, const std::string& path) {
    const std::string refused = std::string("User-Agent: ") + kUserAgent + "\r\n";
    const std::string admitted = refused + "Cookie: trel_token=bench\r\n";
    struct Way {
        const char* name;
        const PhpServer* server;
        const std::string* headers;
        std::vector<double> micros;
        std::vector<double> cpuMicros;
    };
    std::array<Way, 4> ways{
        {{"not_loaded", site->plain.get(), &refused, {}, {}},
         {"not_admitted", site->traced.get(), &refused, {}, {}},
         {"admitted", site->traced.get(), &admitted, {}, {}},
         {"admitted_no_fstats", site->tracedWithoutStats.get(), &admitted, {}, {}}}};
    // Warm up dokuwiki's caches (one per server) and each worker's collector.
    for (const Way& way : ways)
        for (int i = 0; i < 3; ++i)
            way.server->get(path, *way.headers);

    size_t round = 0;
    for (auto _ : state) {
        double seconds = 0;
        for (size_t i = 0; i < ways.size(); ++i) {
            Way& way = ways[(i + round) % ways.size()];
            const long long cpuBefore = way.server->cpuNanoseconds();
            const auto start = std::chrono::steady_clock::now();
            const int status = way.server->get(path, *way.headers);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            const long long cpuAfter = way.server->cpuNanoseconds();
            if (status != 200) {
                state.SkipWithError(
                    (std::string(way.name) + ": status " + std::to_string(status)).c_str());
                return;
            }
            way.micros.push_back(took.count() * 1e6);
            way.cpuMicros.push_back(static_cast<double>(cpuAfter - cpuBefore) / 1e3);
            seconds += took.count();
        }
        ++round;
        state.SetIterationTime(seconds);
    }
    // Medians: the latency of the whole exchange (_us) and the server's CPU time for the
    // request (_cpu_us), and each one's overhead over "not loaded" (_pct, _cpu_pct).
    const double base = median(ways[0].micros);
    const double cpuBase = median(ways[0].cpuMicros);
    for (const Way& way : ways) {
        const std::string name = way.name;
        const double value = median(way.micros);
        const double cpu = median(way.cpuMicros);
        state.counters[name + "_us"] = value;
        state.counters[name + "_cpu_us"] = cpu;
        if (&way != &ways[0] && base > 0 && cpuBase > 0) {
            state.counters[name + "_pct"] = (value / base - 1) * 100;
            state.counters[name + "_cpu_pct"] = (cpu / cpuBase - 1) * 100;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Setup setup;
    if (!setup.prepare())
        return 1;
    const bool shortRun = qgetenv("TREL_BENCH_SHORT") == "1";
    const int rounds = shortRun ? 3
                       : qEnvironmentVariableIntValue("TREL_PHP_BENCH_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("TREL_PHP_BENCH_ROUNDS")
                           : 300;
    const struct {
        const char* name;
        const Site* site;
        const char* path;
    } pages[] = {
        {"dokuwiki/start", setup.dokuwiki.get(), "/doku.php"},
        {"dokuwiki/syntax", setup.dokuwiki.get(), "/doku.php?id=wiki:syntax"},
        {"dokuwiki/search", setup.dokuwiki.get(), "/doku.php?do=search&q=hello"},
        {"app/shop", setup.app.get(), "/shop.php"},
        {"app/pdo", setup.app.get(), "/pdo.php"},
    };
    for (const auto& page : pages)
        benchmark::RegisterBenchmark((std::string("BM_PhpPage/") + page.name).c_str(), BM_PhpPage,
                                     page.site, std::string(page.path))
            ->UseManualTime()
            ->Iterations(rounds)
            ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
