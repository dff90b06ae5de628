// MariaDB behind a proxy that refuses prepared statements: Qt's driver then emulates
// prepares, writing bound values into the statement text. Digests and sample bytes
// must still arrive unchanged, and failure lines must not carry the bound values.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QSqlDriver>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Forwards a local port to the server and answers every COM_STMT_PREPARE (a client
// packet with sequence 0 whose payload starts with 0x16) with an error packet itself.
class NoPrepareProxy {
public:
    explicit NoPrepareProxy(int serverPort) : m_serverPort(serverPort) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), size);
        listen(m_listener, 8);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_threads.emplace_back([this] {
            for (int client; (client = accept(m_listener, nullptr, nullptr)) >= 0;)
                m_threads.emplace_back([this, client] { serve(client); });
        });
    }
    ~NoPrepareProxy() {
        m_stop = true;
        shutdown(m_listener, SHUT_RDWR);
        close(m_listener);
        for (std::thread& thread : m_threads)
            thread.join();
    }
    int port() const { return m_port; }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    void serve(int client) {
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(m_serverPort);
        connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
        QByteArray pending;
        char buffer[65536];
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        while (!m_stop && poll(fds, 2, 100) >= 0) {
            if (fds[1].revents) {
                const ssize_t n = read(server, buffer, sizeof buffer);
                if (n <= 0 || write(client, buffer, static_cast<size_t>(n)) != n)
                    break;
            }
            if (!fds[0].revents)
                continue;
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0)
                break;
            pending.append(buffer, static_cast<int>(n));
            while (pending.size() >= 4) {
                const int length = static_cast<uchar>(pending[0]) |
                                   static_cast<uchar>(pending[1]) << 8 |
                                   static_cast<uchar>(pending[2]) << 16;
                if (pending.size() < 4 + length)
                    break;
                if (pending[3] == 0 && length > 0 && pending[4] == 0x16) {
                    const QByteArray error =
                        QByteArray("\xff\x1f\x05#HY000", 9) + "prepared statements refused";
                    const QByteArray packet =
                        QByteArray(1, char(error.size())) + QByteArray("\0\0\1", 3) + error;
                    if (write(client, packet.constData(), packet.size()) != packet.size())
                        break;
                } else if (write(server, pending.constData(), 4 + length) != 4 + length) {
                    break;
                }
                pending.remove(0, 4 + length);
            }
        }
        close(server);
        close(client);
    }

    int m_serverPort;
    int m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

using EmulatedPrepares = CollectorTest;

TEST_F(EmulatedPrepares, BytesArriveUnchangedAndFailureLinesCarryNoValues) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    NoPrepareProxy proxy(inst.serverInfo().getDbPort());
    KolvServerInfo proxied = inst.serverInfo();
    proxied.setDbPort(proxy.port());
    KTrel* trel = KTrel::instance();
    trel->initialize(proxied, 1);
    ASSERT_FALSE(trel->getDatabase().driver()->hasFeature(QSqlDriver::PreparedQueries));

    const QString url = QStringLiteral("http://emulated.example/secret-token-4711");
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("emulated"));
    trel->addSerializedSuperGlobal("_POST", bytes, KTrel::SAMPLE_END);
    LogCapture log;
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT url_hash FROM trel_requests_urls")).toByteArray(),
              sha1(url));
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT data FROM trel_superglobals_data WHERE sg_name "
                                         "= '_POST'"))
                  .toByteArray(),
              bytes);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements"),
                         QStringLiteral("LENGTH(statement_hash) = 20")),
              1);
    EXPECT_EQ(inst.orphanRows(), 0);

    // A failing insert of a new URL: its level-0 line names the statement, not the URL.
    inst.exec(QStringLiteral("CREATE TRIGGER refuse_insert BEFORE INSERT ON trel_requests_urls "
                             "FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'"));
    const QString other = QStringLiteral("http://emulated.example/other-secret");
    log.clear();
    EXPECT_EQ(trel->getUrlDbId(other, trel->getDatabase()), -1);
    ASSERT_EQ(log.texts(0).size(), 1);
    EXPECT_TRUE(log.texts(0).first().contains(QStringLiteral("refused")));
    EXPECT_FALSE(log.texts(0).first().contains(QStringLiteral("other-secret")))
        << log.texts(0).first().toStdString();
    EXPECT_FALSE(log.texts(0).first().contains(QString::fromLatin1(sha1(other).toHex())));
}

} // namespace
