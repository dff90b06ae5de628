#ifndef TREL_TEST_CHILDPROCESS_H
#define TREL_TEST_CHILDPROCESS_H

// Worker processes for the storage tests (header only): this test program started
// again with a flag that makes it play a child role, and files for the hand-shakes
// between the processes.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

inline bool waitForFile(const QString& path, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 2) {
        if (QFile::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Written under another name and renamed, so that a reader never sees it half-written.
inline bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path + QStringLiteral(".part"));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return QFile::rename(path + QStringLiteral(".part"), path);
}

// This program, started again as `<program> <flag> <args...>`; killed if still running
// when destroyed.
class Child {
public:
    Child(const char* flag, const QStringList& args) {
        char self[4096] = {};
        const ssize_t length = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
        if (length <= 0)
            return;
        m_args.push_back(self);
        m_args.push_back(flag);
        for (const QString& arg : args)
            m_args.push_back(arg.toStdString());
        std::vector<char*> argv;
        for (std::string& arg : m_args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid, self, nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
    }
    ~Child() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return m_pid > 0; }
    // The exit status, or -1 when the child did not end in time (it is then killed).
    int wait(int timeoutMs) {
        for (int waited = 0; m_pid > 0 && waited < timeoutMs; waited += 5) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

private:
    std::vector<std::string> m_args;
    pid_t m_pid = -1;
};

#endif
