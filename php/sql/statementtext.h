#ifndef TREL_PHP_STATEMENTTEXT_H
#define TREL_PHP_STATEMENTTEXT_H

#include <QByteArray>
#include <QHash>

// The text side of SQL capture: bound values put into a statement's placeholders, SQL
// literals, texts bounded in size, and the statement's kind read from its first words.
// Texts are UTF-8 bytes as the script passed them; nothing here calls into PHP.
class StatementText {
public:
    // MySql: backslash escapes inside quotes and '#' comments. Sqlite: ?NNN, @name and
    // $name placeholders, [identifiers] and END as a commit.
    enum Dialect { MySql, Sqlite };

    enum Kind { Other, Begin, Commit, Rollback, DataChange };

    // Values already written as SQL literals. Positions count from 0; names are kept
    // without their ':', '@' or '$'.
    struct Bindings {
        QHash<int, QByteArray> positional;
        QHash<QByteArray, QByteArray> named;
        bool isEmpty() const { return positional.isEmpty() && named.isEmpty(); }
    };

    // The most a stored statement text holds; a longer text is cut with a mark. A caller
    // may pass a smaller limit, no less than MinTextBytes.
    static const int MaxTextBytes = 1 << 20;
    static const int MinTextBytes = 1024;
    // The most of one bound string value shown in a resolved text.
    static const int MaxValueBytes = 1000;

    // The text with each placeholder outside quotes and comments replaced by its bound
    // value; a placeholder with no value stays as written. Values that trel.mask covers
    // are "***": those bound to a parameter whose name it covers, and bound values and
    // literals the statement pairs with a column whose name it covers (compared with it,
    // set to it, or in its place of an INSERT column list). The result is bounded().
    static QByteArray resolve(const QByteArray& text, const Bindings& bindings, Dialect dialect,
                              int limit = MaxTextBytes);

    // A quoted SQL string literal (quotes doubled), cut after MaxValueBytes with a mark
    // that gives the value's full size.
    static QByteArray stringLiteral(const char* data, size_t size);
    // The same for a value of fullSize bytes of which data[0, size) is the head kept; the
    // head must hold more than MaxValueBytes bytes when it is not the whole value.
    static QByteArray stringLiteral(const char* data, size_t size, qint64 fullSize);

    // The text itself when it fits in the limit, otherwise its head cut on a UTF-8
    // character boundary followed by a comment giving the full size, the limit at most in
    // all (a bounded text is its own bounded()).
    static QByteArray bounded(const QByteArray& text, int limit = MaxTextBytes);
    // The same from raw bytes, copying no more than it keeps.
    static QByteArray bounded(const char* data, size_t size, int limit = MaxTextBytes);

    // What the statement does to transactions, or whether it changes rows (INSERT,
    // UPDATE, DELETE, REPLACE), from its first words; leading blanks and comments are
    // skipped. ROLLBACK TO a savepoint is Other.
    static Kind kind(const QByteArray& text, Dialect dialect);
};

#endif
