// What the PHP extension costs a request, beside what other extensions loaded the same
// way cost. Each benchmark serves one page under PHP's web server (`php -S`, OPcache on,
// as that server has it) one way:
//   not_loaded            no extension;
//   floor                 observer_floor (this folder), a function-call observer that
//                         observes nothing: the cost of PHP's observer machinery alone;
//   trel_idle             trel, request not admitted, function statistics off; the
//                         server's first request (of the warm-up) was admitted, so the
//                         worker holds its collector and follows its installation;
//   trel_idle_fstats      the same with function statistics on;
//   trel_admitted         trel, admitted (token cookie), without function statistics,
//                         the request written to SQLite;
//   trel_admitted_fstats  the same with function statistics (limit 100);
//   xdebug_off            Xdebug with xdebug.mode=off;
//   excimer_idle          Excimer loaded, no profiler started;
//   xhprof_idle           tideways_xhprof loaded, not enabled;
//   xhprof_enabled        tideways_xhprof enabled for the whole request (auto_prepend_file)
//                         and its profile taken at shutdown.
// The pages: dokuwiki's start page (Debian's package, tests/php/dokuwiki_site.sh) and
// MediaWiki's main page (Debian's package, installed on SQLite by its own installer:
// mediawiki_site.sh). Xdebug, Excimer and tideways_xhprof come from Debian's packages
// through peers.sh, never installed; a peer or a page that cannot be had is left out
// with a line on standard error. Both scripts keep what they made in the build folder.
//
// Counters of each benchmark:
//   instructions      median instructions of one request, by callgrind on the server:
//                     one profile per request (dumped as PHP ends the request), counted
//                     after a warm-up. They do not move with the machine's load: the
//                     figure that counts.
//   instructions_pct  over not_loaded;
//   spread_pct        how far apart the fewest and most instructions of the counted
//                     requests lie, against the median;
//   over_floor_pct    (trel_idle_fstats only) how far its cost, instructions over
//                     not_loaded, lies above the floor's own;
//   cpu_us, cpu_pct   median CPU time the server spent on a request (the scheduler's
//                     account), measured natively, each request alternating with one to
//                     a server without extension, whose median is the base of cpu_pct.
// After the benchmarks the figures come again as one Markdown table.
//
// Environment: TREL_PHP_BENCH_REQUESTS (requests counted, default 15),
// TREL_PHP_BENCH_WARMUP (default 5), TREL_PHP_BENCH_CALLGRIND=0 (CPU time only),
// TREL_PHP_BENCH_KEEP=DIR (keeps the profile of each way's median request there, for
// callgrind_annotate; profile.sh does that). TREL_BENCH_SHORT=1 (the test command):
// dokuwiki only, three requests a way, callgrind on the page without extension only.
// callgrind is slow and CPU-bound: run the whole benchmark under `nice`.

#include "phpserver.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* const kUserAgent = "Mozilla/5.0 (X11; Linux x86_64) TrelBench/1.0";

// Runs a program to its end; false (and its output on stderr) when it fails.
bool runProgram(const QString& program, const QStringList& arguments, int timeoutMs = 120000) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    std::fprintf(stderr, "%s %s failed:\n%s\n", qPrintable(program),
                 qPrintable(arguments.join(QLatin1Char(' '))), process.readAll().constData());
    return false;
}

int environmentInt(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Way {
    std::string name;
    std::string label;
    QStringList options;
    bool admitted = false;
    // tideways_xhprof profiles the request from its start.
    bool profiles = false;
    // The first warm-up request presents the token: a worker that read its installation.
    bool admittedFirst = false;
};

// What callgrind counted for one way: the median request and the spread of the others.
struct Count {
    double median = NAN;
    double spreadPct = NAN;
};

struct Page {
    std::string name;
    std::string label;
    QString docroot;
    // The site's own auto_prepend_file, if it has one.
    QString prepend;
    QStringList options;
    std::string path;
    // Serves the page without extension beside every way's server: the CPU time's base.
    std::unique_ptr<PhpServer> base;
    // Median instructions per request of the ways counted so far.
    std::map<std::string, Count> instructions;
};

struct Result {
    double instructions = NAN;
    double instructionsPct = NAN;
    double cpuMicros = NAN;
    double cpuPct = NAN;
    double overFloorPct = NAN;
};

class Bench {
public:
    bool prepare();
    void registerBenchmarks();
    void printTable() const;

private:
    void run(benchmark::State& state, Page& page, const Way& way);
    QStringList optionsFor(const Page& page, const Way& way) const;
    std::string headersFor(const Way& way) const;
    // The headers of a server's first request.
    std::string firstHeadersFor(const Way& way) const;
    Count countInstructions(Page& page, const Way& way);

    QTemporaryDir dir;
    QString cache = QStringLiteral(TREL_BENCH_CACHE);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    bool shortRun = qgetenv("TREL_BENCH_SHORT") == "1";
    int requests = shortRun ? 3 : environmentInt("TREL_PHP_BENCH_REQUESTS", 15);
    int warmup = shortRun ? 1 : environmentInt("TREL_PHP_BENCH_WARMUP", 5);
    bool callgrind = qgetenv("TREL_PHP_BENCH_CALLGRIND") != "0";
    QString keep = qEnvironmentVariable("TREL_PHP_BENCH_KEEP");
    std::vector<Way> ways;
    std::vector<std::unique_ptr<Page>> pages;
    std::map<std::pair<std::string, std::string>, Result> results;
};

bool Bench::prepare() {
    const QString root = dir.filePath(QStringLiteral("trel"));
    const QString wiki = dir.filePath(QStringLiteral("dokuwiki"));
    const QString cli = QStringLiteral(TREL_CLI);
    if (!dir.isValid() || !runProgram(cli, {QStringLiteral("init"), root}) ||
        !runProgram(cli,
                    {QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("bench"),
                     QStringLiteral("--ttl"), QStringLiteral("1d")}) ||
        !runProgram(cli, {QStringLiteral("agent"), QStringLiteral("add"), root,
                          QStringLiteral("Bench"), QStringLiteral("TrelBench/")}) ||
        !runProgram(QStringLiteral("sh"),
                    {QStringLiteral(TREL_SOURCE_DIR "/tests/php/dokuwiki_site.sh"), wiki}))
        return false;

    auto dokuwiki = std::make_unique<Page>();
    dokuwiki->name = "dokuwiki";
    dokuwiki->label = "dokuwiki start page";
    dokuwiki->docroot = QStringLiteral("/usr/share/dokuwiki");
    dokuwiki->prepend = wiki + QStringLiteral("/prepend.php");
    dokuwiki->path = "/doku.php";
    pages.push_back(std::move(dokuwiki));

    if (!shortRun) {
        const QString site = cache + QStringLiteral("/mediawiki");
        if (runProgram(QStringLiteral("sh"),
                       {QStringLiteral(TREL_SOURCE_DIR "/bench/php/mediawiki_site.sh"), site},
                       600000)) {
            auto mediawiki = std::make_unique<Page>();
            mediawiki->name = "mediawiki";
            mediawiki->label = "MediaWiki main page";
            mediawiki->docroot = site + QStringLiteral("/root/usr/share/mediawiki");
            QFile options(site + QStringLiteral("/options"));
            if (options.open(QIODevice::ReadOnly))
                for (const QByteArray& line : options.readAll().split('\n'))
                    if (!line.trimmed().isEmpty())
                        mediawiki->options << QString::fromUtf8(line.trimmed());
            mediawiki->path = "/index.php?title=Main_Page";
            pages.push_back(std::move(mediawiki));
        } else {
            std::fprintf(stderr, "MediaWiki left out: its site could not be made\n");
        }
    }

    const QString extension = QStringLiteral("extension=");
    const QStringList trel{extension + QStringLiteral(TREL_PHP_EXTENSION),
                           QStringLiteral("trel.root=") + root};
    const QString off = QStringLiteral("trel.function_stats=0");
    const QStringList on{QStringLiteral("trel.function_stats=1"),
                         QStringLiteral("trel.function_stats_limit=100")};
    ways = {
        {"not_loaded", "No extension", {}, false, false},
        {"floor",
         "No-op observer (the floor)",
         {extension + QStringLiteral(TREL_OBSERVER_FLOOR)},
         false,
         false},
        {"trel_idle", "trel, not admitted, function statistics off", trel + QStringList{off}, false,
         false, true},
        {"trel_idle_fstats", "trel, not admitted, function statistics on", trel + on, false, false,
         true},
        {"trel_admitted", "trel, admitted, without function statistics (SQLite)",
         trel + QStringList{off}, true, false},
        {"trel_admitted_fstats", "trel, admitted, function statistics (limit 100)", trel + on, true,
         false},
    };

    const QString peers = cache + QStringLiteral("/peers");
    runProgram(QStringLiteral("sh"), {QStringLiteral(TREL_SOURCE_DIR "/bench/php/peers.sh"), peers},
               600000);
    auto peer = [&](const char* name) -> QString {
        const QString so = peers + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".so");
        if (QFileInfo::exists(so))
            return so;
        std::fprintf(stderr, "%s left out: not to be had from Debian's packages (see %s/%s.log)\n",
                     name, qPrintable(peers), name);
        return {};
    };
    const QString xdebug = peer("xdebug");
    if (!xdebug.isEmpty())
        ways.push_back(
            {"xdebug_off",
             "Xdebug, xdebug.mode=off",
             {QStringLiteral("zend_extension=") + xdebug, QStringLiteral("xdebug.mode=off")},
             false,
             false});
    const QString excimer = peer("excimer");
    if (!excimer.isEmpty())
        ways.push_back(
            {"excimer_idle", "Excimer, loaded, idle", {extension + excimer}, false, false});
    const QString xhprof = peer("tideways_xhprof");
    if (!xhprof.isEmpty()) {
        ways.push_back(
            {"xhprof_idle", "tideways_xhprof, loaded, idle", {extension + xhprof}, false, false});
        ways.push_back({"xhprof_enabled",
                        "tideways_xhprof, enabled for the request",
                        {extension + xhprof},
                        false,
                        true});
    }
    return true;
}

QStringList Bench::optionsFor(const Page& page, const Way& way) const {
    // OPcache checks a script's time once its revalidation period has passed: how many
    // requests do it would follow their speed (callgrind's is some 50 times slower), and
    // no file changes here.
    QStringList options{QStringLiteral("opcache.validate_timestamps=0")};
    options << page.options << way.options;
    QString prepend = page.prepend;
    if (way.profiles) {
        prepend =
            dir.filePath(QStringLiteral("xhprof-%1.php").arg(QString::fromStdString(page.name)));
        QFile file(prepend);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QTextStream out(&file);
            out << "<?php\ntideways_xhprof_enable();\n"
                   "register_shutdown_function(static function () { tideways_xhprof_disable(); "
                   "});\n";
            if (!page.prepend.isEmpty())
                out << "require '" << page.prepend << "';\n";
        }
    }
    if (!prepend.isEmpty())
        options << QStringLiteral("auto_prepend_file=") + prepend;
    return options;
}

std::string Bench::headersFor(const Way& way) const {
    std::string headers = std::string("User-Agent: ") + kUserAgent + "\r\n";
    if (way.admitted)
        headers += "Cookie: trel_token=bench\r\n";
    return headers;
}

std::string Bench::firstHeadersFor(const Way& way) const {
    if (!way.admittedFirst)
        return headersFor(way);
    Way admitted = way;
    admitted.admitted = true;
    return headersFor(admitted);
}

// Instructions of one request; NAN when the server under callgrind failed.
Count Bench::countInstructions(Page& page, const Way& way) {
    const auto known = page.instructions.find(way.name);
    if (known != page.instructions.end())
        return known->second;
    const int counted = shortRun ? 1 : requests;
    const QString name = QString::fromStdString(page.name + "-" + way.name);
    QDir out(dir.filePath(QStringLiteral("callgrind/") + name));
    out.removeRecursively();
    out.mkpath(QStringLiteral("."));
    {
        const QStringList launcher{QStringLiteral("valgrind"), QStringLiteral("--tool=callgrind"),
                                   QStringLiteral("--callgrind-out-file=") +
                                       out.filePath(QStringLiteral("profile.%p")),
                                   QStringLiteral("--dump-after=php_request_shutdown")};
        PhpServer server(page.docroot, optionsFor(page, way), environment, launcher);
        if (!server.isListening())
            return {};
        const std::string headers = headersFor(way);
        for (int i = 0; i < warmup + counted; ++i)
            if (server.get(page.path, i == 0 ? firstHeadersFor(way) : headers) != 200)
                return {};
    }
    // One profile per request, numbered in order; others (the one at exit) are not dumped
    // after php_request_shutdown.
    std::vector<std::pair<int, QString>> profiles;
    for (const QFileInfo& file : out.entryInfoList({QStringLiteral("profile.*")}, QDir::Files)) {
        bool numbered = false;
        const int number = file.suffix().toInt(&numbered);
        if (numbered)
            profiles.emplace_back(number, file.filePath());
    }
    std::sort(profiles.begin(), profiles.end());
    std::vector<std::pair<double, QString>> totals;
    for (const auto& profile : profiles) {
        QFile file(profile.second);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        bool afterRequest = false;
        double total = -1;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine();
            if (line.startsWith("desc: Trigger:"))
                afterRequest = line.contains("php_request_shutdown");
            else if (line.startsWith("totals:") || line.startsWith("summary:"))
                total = line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toDouble();
        }
        if (afterRequest && total > 0)
            totals.emplace_back(total, profile.second);
    }
    if (totals.size() < static_cast<size_t>(warmup + counted)) {
        std::fprintf(stderr, "%s: %zu request profiles, %d requests\n", qPrintable(name),
                     totals.size(), warmup + counted);
        return {};
    }
    totals.erase(totals.begin(), totals.end() - counted);
    std::vector<double> values;
    for (const auto& total : totals)
        values.push_back(total.first);
    Count count;
    count.median = median(values);
    const auto [least, most] = std::minmax_element(values.begin(), values.end());
    count.spreadPct = (*most - *least) / count.median * 100;
    const double result = count.median;
    if (!keep.isEmpty()) {
        // The request closest to the median.
        const auto closest = std::min_element(totals.begin(), totals.end(), [&](auto& a, auto& b) {
            return std::fabs(a.first - result) < std::fabs(b.first - result);
        });
        QDir().mkpath(keep);
        const QString target = keep + QLatin1Char('/') + name + QStringLiteral(".callgrind");
        QFile::remove(target);
        QFile::copy(closest->second, target);
    }
    out.removeRecursively();
    page.instructions[way.name] = count;
    return count;
}

void Bench::run(benchmark::State& state, Page& page, const Way& way) {
    if (!page.base)
        page.base =
            std::make_unique<PhpServer>(page.docroot, optionsFor(page, ways.front()), environment);
    std::unique_ptr<PhpServer> own;
    const PhpServer* server = page.base.get();
    if (way.name != ways.front().name) {
        own = std::make_unique<PhpServer>(page.docroot, optionsFor(page, way), environment);
        server = own.get();
    }
    if (!page.base->isListening() || !server->isListening()) {
        state.SkipWithError("php -S did not start");
        return;
    }
    const std::string plain = headersFor(ways.front());
    const std::string headers = headersFor(way);
    for (int i = 0; i < warmup; ++i) {
        page.base->get(page.path, plain);
        server->get(page.path, i == 0 ? firstHeadersFor(way) : headers);
    }
    std::vector<double> base;
    std::vector<double> cpu;
    bool baseFirst = true;
    for (auto _ : state) {
        double seconds = 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool isBase = (turn == 0) == baseFirst;
            const PhpServer* target = isBase ? page.base.get() : server;
            const long long before = target->cpuNanoseconds();
            const int status = target->get(page.path, isBase ? plain : headers);
            const double micros = static_cast<double>(target->cpuNanoseconds() - before) / 1e3;
            if (status != 200) {
                state.SkipWithError((way.name + ": status " + std::to_string(status)).c_str());
                return;
            }
            (isBase ? base : cpu).push_back(micros);
            if (!isBase)
                seconds = micros / 1e6;
        }
        baseFirst = !baseFirst;
        state.SetIterationTime(seconds);
    }

    Result& result = results[{page.name, way.name}];
    result.cpuMicros = median(cpu);
    result.cpuPct = (result.cpuMicros / median(base) - 1) * 100;
    state.counters["cpu_us"] = result.cpuMicros;
    state.counters["cpu_pct"] = result.cpuPct;

    const bool counts = callgrind && (!shortRun || way.name == ways.front().name);
    if (!counts)
        return;
    const double plainCount = countInstructions(page, ways.front()).median;
    const Count counted = countInstructions(page, way);
    const double count = counted.median;
    if (std::isnan(plainCount) || std::isnan(count)) {
        state.SkipWithError("the server under callgrind failed");
        return;
    }
    result.instructions = count;
    result.instructionsPct = (count / plainCount - 1) * 100;
    state.counters["instructions"] = count;
    state.counters["instructions_pct"] = result.instructionsPct;
    state.counters["spread_pct"] = counted.spreadPct;
    if (way.name == "trel_idle_fstats") {
        const auto floor =
            std::find_if(ways.begin(), ways.end(), [](const Way& w) { return w.name == "floor"; });
        const double floorCount = countInstructions(page, *floor).median;
        if (!std::isnan(floorCount) && floorCount > plainCount) {
            result.overFloorPct = ((count - plainCount) / (floorCount - plainCount) - 1) * 100;
            state.counters["over_floor_pct"] = result.overFloorPct;
        }
    }
}

void Bench::registerBenchmarks() {
    for (auto& page : pages)
        for (const Way& way : ways)
            benchmark::RegisterBenchmark(("BM_PhpOverhead/" + page->name + "/" + way.name).c_str(),
                                         [this, page = page.get(), &way](benchmark::State& state) {
                                             run(state, *page, way);
                                         })
                ->UseManualTime()
                ->Iterations(requests)
                ->Unit(benchmark::kMicrosecond);
}

std::string format(const char* pattern, double value) {
    if (std::isnan(value))
        return "–";
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

void Bench::printTable() const {
    std::printf("\n| Extension and state |");
    for (const auto& page : pages) {
        const auto plain = page->instructions.find(ways.front().name);
        std::printf(" %s (%s) | CPU |", page->label.c_str(),
                    plain == page->instructions.end()
                        ? "–"
                        : format("%.2f M", plain->second.median / 1e6).c_str());
    }
    std::printf("\n|---|");
    for (size_t i = 0; i < pages.size(); ++i)
        std::printf("---|---|");
    std::printf("\n");
    for (const Way& way : ways) {
        std::printf("| %s |", way.label.c_str());
        for (const auto& page : pages) {
            const auto found = results.find({page->name, way.name});
            const Result result = found == results.end() ? Result() : found->second;
            if (way.name == ways.front().name)
                std::printf(" %s | %s |", format("%.2f M", result.instructions / 1e6).c_str(),
                            format("%.0f µs", result.cpuMicros).c_str());
            else
                std::printf(" %s | %s |", format("%+.1f %%", result.instructionsPct).c_str(),
                            format("%+.0f %%", result.cpuPct).c_str());
        }
        std::printf("\n");
    }
    for (const auto& page : pages) {
        const auto found = results.find({page->name, "trel_idle_fstats"});
        if (found != results.end() && !std::isnan(found->second.overFloorPct))
            std::printf("\n%s: trel, not admitted, function statistics on, costs %s over the "
                        "floor's own cost (instructions added to the page).\n",
                        page->label.c_str(),
                        format("%+.1f %%", found->second.overFloorPct).c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Bench bench;
    if (!bench.prepare())
        return 1;
    bench.registerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    bench.printTable();
    benchmark::Shutdown();
    return 0;
}
