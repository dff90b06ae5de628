#include "manifest.h"

#include <QFile>
#include <QHash>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

ManifestWriter::ManifestWriter(const QString& path) {
    m_fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

ManifestWriter::~ManifestWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void ManifestWriter::line(const QString& text) {
    QByteArray bytes = text.toUtf8();
    bytes.replace('\n', ' ');
    bytes.replace('\r', ' ');
    bytes.append('\n');
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= n;
    }
}

void ManifestWriter::begin(const QString& tag, quint64 seed, int index,
                           const RequestPlan::Counts& counts) {
    line(QStringLiteral("begin %1 %2 %3 %4").arg(tag).arg(seed).arg(index).arg(counts.toString()));
}

void ManifestWriter::written(const QString& key, qint64 requestId, qint64 ms) {
    line(QStringLiteral("written %1 %2 %3").arg(key).arg(requestId).arg(ms));
}

void ManifestWriter::failed(const QString& key, int writeLines, qint64 ms,
                            const QString& firstLine) {
    // The driver's error text closes the line: a long line keeps its start and its end.
    const QString text = firstLine.size() <= 400
                             ? firstLine
                             : firstLine.left(150) + QStringLiteral(" ... ") + firstLine.right(250);
    line(QStringLiteral("failed %1 %2 %3 ").arg(key).arg(writeLines).arg(ms) + text);
}

bool Manifest::load(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    QByteArray content = file.readAll();
    const int end = content.lastIndexOf('\n');
    content.truncate(end + 1);
    QHash<QString, int> byKey;
    int number = 0;
    for (const QByteArray& raw : content.split('\n')) {
        ++number;
        if (raw.isEmpty())
            continue;
        const QString text = QString::fromUtf8(raw);
        const QStringList f = text.split(QLatin1Char(' '));
        auto bad = [&]() {
            *error = QStringLiteral("%1:%2: malformed line: %3").arg(path).arg(number).arg(text);
            return false;
        };
        if (f.at(0) == QLatin1String("begin")) {
            if (f.size() != 10)
                return bad();
            ManifestEntry entry;
            entry.tag = f.at(1);
            bool ok1 = false, ok2 = false;
            entry.seed = f.at(2).toULongLong(&ok1);
            entry.index = f.at(3).toInt(&ok2);
            if (!ok1 || !ok2 ||
                !RequestPlan::Counts::parse(QStringList(f.mid(4)).join(QLatin1Char(' ')),
                                            &entry.counts))
                return bad();
            entry.key = RequestPlan::makeKey(entry.tag, entry.index);
            entry.file = path;
            if (byKey.contains(entry.key)) {
                *error =
                    QStringLiteral("%1:%2: %3 begun twice").arg(path).arg(number).arg(entry.key);
                return false;
            }
            byKey.insert(entry.key, m_entries.size());
            m_entries << entry;
        } else if (f.at(0) == QLatin1String("written") || f.at(0) == QLatin1String("failed")) {
            if (f.size() < 4 || !byKey.contains(f.at(1)))
                return bad();
            ManifestEntry& entry = m_entries[byKey.value(f.at(1))];
            if (entry.state != ManifestEntry::Unfinished)
                return bad();
            entry.ms = f.at(3).toLongLong();
            if (f.at(0) == QLatin1String("written")) {
                entry.state = ManifestEntry::Written;
                entry.requestId = f.at(2).toLongLong();
            } else {
                entry.state = ManifestEntry::Failed;
                entry.writeLines = f.at(2).toInt();
                entry.message = QStringList(f.mid(4)).join(QLatin1Char(' '));
            }
        } else {
            return bad();
        }
    }
    return true;
}
