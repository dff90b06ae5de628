#include "storage/kmysqlstatements.h"

#include "storage/ksafesqlquery.h"

#include <QHash>
#include <QSqlDriver>
#include <QVariant>

#include <mysql.h>

#include <mutex>
#include <vector>

namespace {

struct Prepared {
    MYSQL_STMT* statement = nullptr;
    quint64 used = 0;
};

struct Session {
    QHash<QByteArray, Prepared> statements;
    quint64 clock = 0;
};

// Sessions that Qt's driver closed leave their entries behind, with statements that the
// client library detached from them (their session pointer cleared): such entries are
// swept once there are more than a worker ever uses at a time.
const int SweepAbove = 8;

std::mutex sessionsMutex;
QHash<MYSQL*, Session>& sessions() {
    static QHash<MYSQL*, Session> known;
    return known;
}

void closeAll(Session& session) {
    for (const Prepared& prepared : qAsConst(session.statements))
        mysql_stmt_close(prepared.statement);
    session.statements.clear();
}

// A statement belongs to `mysql` while the client library has not detached it: a closed
// session's statements are, and a new session may be given the closed one's address.
bool belongsTo(const MYSQL_STMT* statement, const MYSQL* mysql) {
    return statement->mysql == mysql;
}

void sweep(MYSQL* current) {
    QHash<MYSQL*, Session>& all = sessions();
    for (auto it = all.begin(); it != all.end();) {
        bool stale = it.key() != current && it->statements.isEmpty();
        for (const Prepared& prepared : qAsConst(it->statements))
            stale = stale || !belongsTo(prepared.statement, it.key());
        if (stale) {
            closeAll(*it);
            it = all.erase(it);
        } else {
            ++it;
        }
    }
}

QSqlError statementError(MYSQL_STMT* statement, const char* what) {
    return QSqlError(QStringLiteral("QMYSQL: %1").arg(QLatin1String(what)),
                     QString::fromUtf8(mysql_stmt_error(statement)), QSqlError::StatementError,
                     QString::number(mysql_stmt_errno(statement)));
}

// A prepare that failed because the server ended the transaction, or with the session,
// is the write's failure; any other leaves the transaction as it was.
bool endsWrite(const QSqlError& error) {
    return KSafeSqlQuery::isConnectionLost(error) ||
           KSafeSqlQuery::endsTransaction(error.text().toUtf8().constData());
}

} // namespace

st_mysql* KMySqlStatements::session(const QSqlDatabase& database) {
    if (database.driverName() != QLatin1String("QMYSQL") || !database.isOpen() ||
        !database.driver()->hasFeature(QSqlDriver::PreparedQueries))
        return nullptr;
    const QVariant handle = database.driver()->handle();
    // Qt names the type by its struct.
    if (qstrcmp(handle.typeName(), "MYSQL*") != 0 && qstrcmp(handle.typeName(), "st_mysql*") != 0)
        return nullptr;
    return *static_cast<MYSQL* const*>(handle.constData());
}

int KMySqlStatements::preparedCount(st_mysql* mysql) {
    std::lock_guard<std::mutex> lock(sessionsMutex);
    auto it = sessions().constFind(mysql);
    if (it == sessions().constEnd())
        return 0;
    int count = 0;
    for (const Prepared& prepared : it->statements)
        count += belongsTo(prepared.statement, mysql) ? 1 : 0;
    return count;
}

KMySqlStatements::Outcome KMySqlStatements::run(st_mysql* mysql, const QByteArray& key,
                                                const std::function<QByteArray()>& text,
                                                const QVector<Value>& values, qint64* firstId,
                                                QSqlError* error) {
    MYSQL_STMT* statement = nullptr;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex);
        if (!sessions().contains(mysql) && sessions().size() >= SweepAbove)
            sweep(mysql);
        Session& session = sessions()[mysql];
        auto it = session.statements.find(key);
        if (it != session.statements.end()) {
            if (belongsTo(it->statement, mysql)) {
                it->used = ++session.clock;
                statement = it->statement;
            } else {
                // The address of a closed session: none of its statements is valid.
                closeAll(session);
            }
        }
        if (!statement && session.statements.size() >= MaxStatements) {
            auto oldest = session.statements.begin();
            for (auto at = session.statements.begin(); at != session.statements.end(); ++at)
                if (at->used < oldest->used)
                    oldest = at;
            mysql_stmt_close(oldest->statement);
            session.statements.erase(oldest);
        }
    }
    if (!statement) {
        statement = mysql_stmt_init(mysql);
        if (!statement) {
            *error = QSqlError(QStringLiteral("QMYSQL: Unable to prepare statement"),
                               QString::fromUtf8(mysql_error(mysql)), QSqlError::StatementError,
                               QString::number(mysql_errno(mysql)));
            return endsWrite(*error) ? Failed : NotPrepared;
        }
        const QByteArray sql = text();
        if (mysql_stmt_prepare(statement, sql.constData(),
                               static_cast<unsigned long>(sql.size()))) {
            *error = statementError(statement, "Unable to prepare statement");
            mysql_stmt_close(statement);
            return endsWrite(*error) ? Failed : NotPrepared;
        }
        std::lock_guard<std::mutex> lock(sessionsMutex);
        Session& session = sessions()[mysql];
        session.statements.insert(key, Prepared{statement, ++session.clock});
    }

    std::vector<MYSQL_BIND> binds(static_cast<size_t>(values.size()));
    for (int i = 0; i < values.size(); ++i) {
        const Value& value = values.at(i);
        MYSQL_BIND& bind = binds[static_cast<size_t>(i)];
        switch (value.kind) {
        case Value::Null:
            bind.buffer_type = MYSQL_TYPE_NULL;
            break;
        case Value::Text:
        case Value::Bytes:
            // As Qt's driver binds them: a text in the connection's character set, bytes
            // as a binary string.
            bind.buffer_type = value.kind == Value::Text ? MYSQL_TYPE_STRING : MYSQL_TYPE_BLOB;
            bind.buffer = const_cast<char*>(value.bytes.constData());
            bind.buffer_length = static_cast<unsigned long>(value.bytes.size());
            break;
        case Value::Signed:
        case Value::Unsigned:
            bind.buffer_type = MYSQL_TYPE_LONGLONG;
            bind.buffer = const_cast<qint64*>(&value.number);
            bind.is_unsigned = value.kind == Value::Unsigned;
            break;
        }
    }
    if (mysql_stmt_bind_param(statement, binds.data()) || mysql_stmt_execute(statement)) {
        *error = statementError(statement, "Unable to execute statement");
        return Failed;
    }
    *firstId = static_cast<qint64>(mysql_stmt_insert_id(statement));
    return Done;
}

bool KMySqlStatements::takesSeveralStatements(st_mysql* mysql) {
    return mysql && (mysql->client_flag & CLIENT_MULTI_STATEMENTS) != 0;
}

int KMySqlStatements::runTexts(st_mysql* mysql, const QByteArray& text, const char* what,
                               QVector<TextResult>* results, QSqlError* error) {
    results->clear();
    const auto failed = [&](int index) {
        *error = QSqlError(QStringLiteral("QMYSQL: %1").arg(QLatin1String(what)),
                           QString::fromUtf8(mysql_error(mysql)), QSqlError::StatementError,
                           QString::number(mysql_errno(mysql)));
        return index;
    };
    int status = mysql_real_query(mysql, text.constData(), static_cast<unsigned long>(text.size()));
    for (int index = 0;; ++index) {
        if (status != 0)
            return failed(index);
        TextResult result;
        if (MYSQL_RES* rows = mysql_store_result(mysql)) {
            if (MYSQL_ROW row = mysql_fetch_row(rows)) {
                const unsigned long* lengths = mysql_fetch_lengths(rows);
                for (unsigned i = 0; i < mysql_num_fields(rows); ++i)
                    result.firstRow << (row[i] ? QByteArray(row[i], static_cast<int>(lengths[i]))
                                               : QByteArray());
            }
            mysql_free_result(rows);
        } else if (mysql_field_count(mysql) != 0) {
            return failed(index);
        } else {
            result.affectedRows = static_cast<qint64>(mysql_affected_rows(mysql));
        }
        results->append(result);
        // 0: another result follows, -1: none, above 0: the next statement failed.
        status = mysql_next_result(mysql);
        if (status == -1)
            return -1;
    }
}
