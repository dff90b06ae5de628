#ifndef TREL_BENCH_PHPSERVER_H
#define TREL_BENCH_PHPSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>

#include <string>

// PHP's built-in web server (`php -S`) on a free loopback port, serving one folder with
// the given -d options; stopped when the object goes. Its output is discarded. A
// launcher (a program and its arguments, such as valgrind's) runs PHP when given.
class PhpServer {
public:
    PhpServer(const QString& docroot, const QStringList& options,
              const QProcessEnvironment& environment, const QStringList& launcher = {});
    ~PhpServer();
    PhpServer(const PhpServer&) = delete;
    PhpServer& operator=(const PhpServer&) = delete;

    // Whether the server started and listens.
    bool isListening() const { return listening; }
    // One GET on a connection of its own (Connection: close), the way a browser without
    // keep-alive asks; `headers` are extra header lines, each ending in "\r\n". Returns
    // the response's status, or -1 when the exchange failed.
    int get(const std::string& path, const std::string& headers) const;
    // The CPU time the server process has used so far (user and system), in nanoseconds,
    // from the scheduler's account; -1 when it cannot be read. Unlike a latency it does
    // not grow while the process waits for a core on a busy machine.
    long long cpuNanoseconds() const;

private:
    QProcess process;
    int port = 0;
    bool listening = false;
};

#endif
