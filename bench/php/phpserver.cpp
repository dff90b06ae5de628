#include "phpserver.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

// A socket connected to 127.0.0.1:port, or -1.
int connectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

} // namespace

PhpServer::PhpServer(const QString& docroot, const QStringList& options,
                     const QProcessEnvironment& environment, const QStringList& launcher)
    : port(freePort()) {
    QStringList arguments = launcher.mid(1);
    arguments << QStringLiteral("php") << QStringLiteral("-S")
              << QStringLiteral("127.0.0.1:%1").arg(port) << QStringLiteral("-t") << docroot;
    for (const QString& option : options)
        arguments << QStringLiteral("-d") << option;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(docroot);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const QString program = launcher.isEmpty() ? arguments.takeFirst() : launcher.first();
    process.start(program, arguments);
    if (port == 0 || !process.waitForStarted(10000))
        return;
    // Under a launcher such as valgrind, PHP takes seconds to start on a busy machine.
    const int attempts = launcher.isEmpty() ? 400 : 4800;
    for (int attempt = 0; attempt < attempts && process.state() == QProcess::Running; ++attempt) {
        int fd = connectTo(port);
        if (fd >= 0) {
            ::close(fd);
            listening = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

PhpServer::~PhpServer() {
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

int PhpServer::get(const std::string& path, const std::string& headers) const {
    int fd = connectTo(port);
    if (fd < 0)
        return -1;
    const std::string request = "GET " + path +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nConnection: close\r\n" + headers + "\r\n";
    bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(request.size());
    std::string head;
    char buffer[65536];
    ssize_t got = 0;
    while (ok && (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        if (head.size() < 12)
            head.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    // "HTTP/1.1 200 OK"
    if (!ok || got < 0 || head.size() < 12 || head.compare(0, 5, "HTTP/") != 0)
        return -1;
    return std::atoi(head.c_str() + 9);
}

long long PhpServer::cpuNanoseconds() const {
    QFile file(QStringLiteral("/proc/%1/schedstat").arg(process.processId()));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const long long value = file.readLine().split(' ').value(0).toLongLong(&ok);
    return ok ? value : -1;
}
