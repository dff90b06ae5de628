#include "storage/kbatchinsert.h"

#include "storage/kstatementcache.h"

#include <kolv/kexception.h>

#include <QHash>
#include <QMetaType>
#include <QSet>
#include <QtGlobal>

#include <atomic>
#include <charconv>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

std::atomic<bool> batchingEnabled{true};

// Room left in a packet for the command and the protocol's header.
const qint64 PacketReserve = 4096;

// The most rows of one SQLite statement. Statements of 64, 32, ... 2 rows are prepared
// once per connection and kept, so a table's rows go in a few steps of kept statements.
const int SqliteMaxRows = 64;

// The two hexadecimal digits of every byte value.
struct HexPairs {
    char pairs[512];
    HexPairs() {
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            pairs[2 * i] = digits[i >> 4];
            pairs[2 * i + 1] = digits[i & 15];
        }
    }
};

// X'..' with the bytes in hexadecimal, written in place.
void appendHex(QByteArray& out, const char* data, qsizetype size) {
    static const HexPairs hex;
    const qsizetype at = out.size();
    out.resize(at + 2 * size + 3);
    char* p = out.data() + at;
    *p++ = 'X';
    *p++ = '\'';
    qsizetype i = 0;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // Four bytes at a time in one 64-bit word: a write's backtraces and samples are tens
    // of kilobytes, and this is a third of the table's instructions per byte.
    for (; i + 4 <= size; i += 4, p += 8) {
        quint32 four;
        std::memcpy(&four, data + i, 4);
        quint64 v = four;
        v = (v | (v << 16)) & 0x0000FFFF0000FFFFULL;
        v = (v | (v << 8)) & 0x00FF00FF00FF00FFULL;
        // Each byte's high nibble, then its low one, a nibble to a byte.
        const quint64 nibbles =
            ((v >> 4) & 0x000F000F000F000FULL) | ((v & 0x000F000F000F000FULL) << 8);
        // 1 in each byte whose nibble is 10 or more, which become 'a' to 'f'.
        const quint64 letters = ((nibbles + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
        const quint64 digits = nibbles + 0x3030303030303030ULL + letters * ('a' - '0' - 10);
        std::memcpy(p, &digits, 8);
    }
#endif
    for (; i < size; ++i, p += 2)
        std::memcpy(p, hex.pairs + 2 * static_cast<unsigned char>(data[i]), 2);
    *p = '\'';
}

// In decimal, without the temporary array that QByteArray::number makes: a write has
// thousands of numbers.
template <typename Number> void appendNumber(QByteArray& out, Number number) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, number);
    out.append(digits, end.ptr - digits);
}

bool isPlaceholderChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

} // namespace

void KBatchInsert::setEnabled(bool enabled) {
    batchingEnabled = enabled;
}

bool KBatchInsert::isEnabled() {
    return batchingEnabled;
}

qint64 KBatchInsert::consecutiveIdStep(qint64 lockMode, qint64 increment) {
    if ((lockMode != 0 && lockMode != 1) || increment < 1)
        return 0;
    return increment;
}

namespace {

// What a MySQL session told of its limits. They are the session's for its whole life:
// its max_allowed_packet is copied from the server's at connect and cannot be changed
// by the session, the lock mode is fixed at the server's start, and the library never
// sets the increment. So they are asked once per session: again only on a connection
// of another name or after a reopen (a lost session, a restarted server).
struct SessionLimits {
    quint64 sessions = 0;
    qint64 maxPacket = 0;
    qint64 idStep = 0;
};

std::mutex sessionLimitsMutex;
QHash<QString, SessionLimits>& sessionLimits() {
    static QHash<QString, SessionLimits> known;
    return known;
}

} // namespace

KBatchInsert::Limits KBatchInsert::limits(QSqlDatabase& database, KDebug::StreamId stream,
                                          int retries) {
    Limits limits;
    if (database.driverName() != QLatin1String("QMYSQL"))
        return limits;
    SessionLimits session;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(sessionLimitsMutex);
        auto it = sessionLimits().constFind(database.connectionName());
        if (it != sessionLimits().constEnd() && it->sessions == KSafeSqlQuery::sessionsOpened()) {
            session = *it;
            known = true;
        }
    }
    if (!known) {
        const QString sql =
            QStringLiteral("SELECT @@max_allowed_packet, "
                           "@@innodb_autoinc_lock_mode, @@auto_increment_increment");
        KSafeSqlQuery query(database);
        query.setForwardOnly(true);
        // Counted before the statement: a reopen during it makes the answer one of the
        // new session, and the next write asks again.
        session.sessions = KSafeSqlQuery::sessionsOpened();
        query.execText(sql, sql, stream, retries);
        if (!query.next())
            return limits;
        session.maxPacket = query.value(0).toLongLong();
        session.idStep =
            consecutiveIdStep(query.value(1).toLongLong(), query.value(2).toLongLong());
        std::lock_guard<std::mutex> lock(sessionLimitsMutex);
        QHash<QString, SessionLimits>& all = sessionLimits();
        // Pool connections that were closed leave their names behind.
        if (all.size() > 64)
            all.clear();
        all.insert(database.connectionName(), session);
    }
    limits.idStep = session.idStep;
    // A server that names no packet size sets no bound; one that names no usable size
    // gets every row on its own.
    if (session.maxPacket <= 0)
        return limits;
    limits.maxStatementBytes = session.maxPacket - PacketReserve;
    limits.batched = batchingEnabled && limits.maxStatementBytes > 0;
    return limits;
}

// A single-row text taken apart once per thread: the writer makes a KBatchInsert for every
// table of every write.
struct KBatchInsert::RowTemplate {
    QByteArray head;          // "INSERT ... VALUES "
    QList<QByteArray> pieces; // the row's text around its placeholders
    QStringList names;        // the placeholders, in the row's order
    bool distinctNames = false;
    QHash<int, QString> sqliteRowsSql; // multi-row texts of bound values, by rows
};

std::shared_ptr<KBatchInsert::RowTemplate> KBatchInsert::rowTemplate(const QString& singleRowSql) {
    thread_local QHash<QString, std::shared_ptr<RowTemplate>> parsed;
    std::shared_ptr<RowTemplate>& known = parsed[singleRowSql];
    if (known)
        return known;
    // glibc's case-blind search on the UTF-8 text costs a fraction of QString's case folding.
    const QByteArray utf8 = singleRowSql.toUtf8();
    const char* found = strcasestr(utf8.constData(), "values");
    if (!found) {
        parsed.remove(singleRowSql);
        throw KException(
            QStringLiteral("KBatchInsert: not an INSERT ... VALUES: %1").arg(singleRowSql));
    }
    const int values = int(QString::fromUtf8(utf8.constData(), found - utf8.constData()).size());
    auto parts = std::make_shared<RowTemplate>();
    const int rowStart = values + 6;
    parts->head = singleRowSql.left(rowStart).toUtf8() + ' ';
    const QString row = singleRowSql.mid(rowStart).trimmed();
    int from = 0;
    for (int i = 0; i < row.size(); ++i) {
        if (row.at(i) != QLatin1Char(':') || i + 1 >= row.size() ||
            !isPlaceholderChar(row.at(i + 1)))
            continue;
        int end = i + 1;
        while (end < row.size() && isPlaceholderChar(row.at(end)))
            ++end;
        parts->pieces << row.mid(from, i - from).toUtf8();
        parts->names << row.mid(i, end - i);
        from = end;
        i = end - 1;
    }
    parts->pieces << row.mid(from).toUtf8();
    parts->distinctNames =
        QSet<QString>(parts->names.cbegin(), parts->names.cend()).size() == parts->names.size();
    // Texts made at run time (a placeholder's form depends on the connection) are few;
    // the cache stays small all the same.
    if (parsed.size() > 64) {
        parsed.clear();
        return parts;
    }
    known = parts;
    return parts;
}

KBatchInsert::KBatchInsert(QSqlDatabase& database, const QString& singleRowSql,
                           const Limits& limits, KDebug::StreamId stream, int retries, bool needIds)
    : m_database(database), m_singleRowSql(singleRowSql), m_limits(limits), m_stream(stream),
      m_retries(retries), m_needIds(needIds), m_template(rowTemplate(singleRowSql)) {
    m_values.resize(m_template->names.size());
    // SQLite rows are bound by position, straight to SQLite, where each name is used once.
    m_bindDirectly = m_template->distinctNames && database.driverName() == QLatin1String("QSQLITE");
    // SQLite gives the rows of one statement consecutive ids only while the largest id
    // is below its maximum, so rows whose ids are needed go one at a time.
    m_sqliteRows = m_bindDirectly && !needIds && batchingEnabled;
}

bool KBatchInsert::rowsBatched() const {
    return m_limits.batched && (!m_needIds || m_limits.idStep > 0);
}

KSafeSqlQuery& KBatchInsert::single() {
    if (!m_single)
        m_single = std::make_unique<KStatementCache::Statement>(m_database, m_singleRowSql);
    return **m_single;
}

void KBatchInsert::bind(const QString& placeholder, const QVariant& value) {
    if (!rowsBatched() && !m_bindDirectly) {
        single().bindValue(placeholder, value);
        return;
    }
    // Rows are bound in the text's order, as a rule.
    const int index =
        m_next < m_template->names.size() && m_template->names.at(m_next) == placeholder
            ? m_next
            : m_template->names.indexOf(placeholder);
    if (index < 0)
        throw KException(QStringLiteral("KBatchInsert: no placeholder %1 in %2")
                             .arg(placeholder, m_singleRowSql));
    m_values[index] = value;
    m_next = index + 1;
}

void KBatchInsert::appendLiteral(QByteArray& out, const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::QString: {
        const QString* text = static_cast<const QString*>(value.constData());
        if (text->isNull()) {
            out += "NULL";
        } else {
            const QByteArray utf8 = text->toUtf8();
            appendHex(out, utf8.constData(), utf8.size());
        }
        return;
    }
    case QMetaType::QByteArray: {
        const QByteArray* bytes = static_cast<const QByteArray*>(value.constData());
        if (bytes->isNull())
            out += "NULL";
        else
            appendHex(out, bytes->constData(), bytes->size());
        return;
    }
    case QMetaType::Bool:
        out += value.toBool() ? '1' : '0';
        return;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
        appendNumber(out, value.toLongLong());
        return;
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
        appendNumber(out, value.toULongLong());
        return;
    default:
        break;
    }
    if (value.isNull()) {
        out += "NULL";
        return;
    }
    const QByteArray utf8 = value.toString().toUtf8();
    appendHex(out, utf8.constData(), utf8.size());
}

void KBatchInsert::addRow() {
    m_next = 0;
    if (m_sqliteRows) {
        m_rowValues += m_values;
        if (++m_pendingRows == SqliteMaxRows)
            flush();
        return;
    }
    if (!rowsBatched()) {
        sendAlone();
        return;
    }
    if (m_pendingRows >= m_limits.maxRows)
        flush();
    // The row is written in place after the pending ones, and moved when it does not fit.
    const qsizetype mark = m_pending.size();
    if (m_pendingRows > 0)
        m_pending += ',';
    const qsizetype rowStart = m_pending.size();
    m_pending += m_template->pieces.first();
    for (int i = 0; i < m_template->names.size(); ++i) {
        appendLiteral(m_pending, m_values.at(i));
        m_pending += m_template->pieces.at(i + 1);
    }
    const qsizetype rowSize = m_pending.size() - rowStart;
    if (m_template->head.size() + rowSize > m_limits.maxStatementBytes) {
        // Alone and prepared: the server may take it as bound values, or refuse it.
        m_pending.truncate(mark);
        flush();
        sendAlone();
        return;
    }
    if (m_template->head.size() + m_pending.size() > m_limits.maxStatementBytes) {
        const QByteArray row = m_pending.mid(rowStart);
        m_pending.truncate(mark);
        flush();
        m_pending = row;
    }
    ++m_pendingRows;
}

void KBatchInsert::flush() {
    if (m_pendingRows == 0)
        return;
    if (m_sqliteRows) {
        sendSqliteRows();
        return;
    }
    const QString text = QString::fromLatin1(m_template->head + m_pending);
    const QString shown = QStringLiteral("%1 [%2 rows]").arg(m_singleRowSql).arg(m_pendingRows);
    const int rows = m_pendingRows;
    m_pending.resize(0);
    m_pendingRows = 0;
    KSafeSqlQuery query(m_database);
    query.setForwardOnly(true);
    query.execText(text, shown, m_stream, m_retries);
    ++m_statements;
    if (m_needIds) {
        const qint64 first = query.lastInsertId().toLongLong();
        for (int i = 0; i < rows; ++i)
            m_ids.append(first + i * m_limits.idStep);
    }
}

const QString& KBatchInsert::sqliteRowsSql(int rows) const {
    QString& sql = m_template->sqliteRowsSql[rows];
    if (!sql.isEmpty())
        return sql;
    QByteArray row = m_template->pieces.first();
    for (int i = 1; i < m_template->pieces.size(); ++i)
        row += '?' + m_template->pieces.at(i);
    QByteArray text = m_template->head;
    text.reserve(m_template->head.size() + rows * (row.size() + 2));
    for (int i = 0; i < rows; ++i) {
        if (i > 0)
            text += ", ";
        text += row;
    }
    sql = QString::fromUtf8(text);
    return sql;
}

// In steps of 64, 32, ... rows: a failed step throws, and the writer rolls back.
void KBatchInsert::sendSqliteRows() {
    const int columns = m_template->names.size();
    const int pending = m_pendingRows;
    const QVector<QVariant> values = std::move(m_rowValues);
    m_rowValues.clear();
    m_pendingRows = 0;
    for (int sent = 0; sent < pending;) {
        int rows = SqliteMaxRows;
        while (rows > pending - sent)
            rows /= 2;
        const QVector<QVariant> stepValues = values.mid(sent * columns, rows * columns);
        if (rows > 1) {
            KStatementCache::Statement statement(m_database, sqliteRowsSql(rows));
            // As a multi-row statement of MySQL shows: the single-row text, never values.
            const QString shown = QStringLiteral("%1 [%2 rows]").arg(m_singleRowSql).arg(rows);
            if (statement->execValues(stepValues, m_stream, m_retries, shown)) {
                ++m_statements;
                sent += rows;
                continue;
            }
        }
        // One row, or values that SQLite cannot take as they are: row by row.
        for (int i = 0; i < rows; ++i, ++sent) {
            m_values = stepValues.mid(i * columns, columns);
            sendAlone();
        }
    }
}

void KBatchInsert::sendAlone() {
    KSafeSqlQuery& query = single();
    if (m_bindDirectly && query.execValues(m_values, m_stream, m_retries)) {
        ++m_statements;
        if (m_needIds)
            m_ids.append(query.valuesInsertId());
        return;
    }
    if (rowsBatched() || m_bindDirectly) {
        for (int i = 0; i < m_template->names.size(); ++i)
            query.bindValue(m_template->names.at(i), m_values.at(i));
    }
    query.exec(m_stream, m_retries);
    ++m_statements;
    if (m_needIds)
        m_ids.append(query.lastInsertId().toLongLong());
}
