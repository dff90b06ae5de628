#include "statementtext.h"

#include "php_trel.h"

#include <vector>

namespace {

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The length of the longest head of data[0, size) that is at most limit bytes and does
// not end inside a UTF-8 sequence.
size_t utf8Head(const char* data, size_t size, size_t limit) {
    if (size <= limit)
        return size;
    size_t end = limit;
    // Step back over continuation bytes so that the cut lands before a lead byte.
    for (int back = 0;
         back < 3 && end > 0 && (static_cast<unsigned char>(data[end]) & 0xC0) == 0x80; ++back)
        --end;
    return end;
}

QByteArray cutMark(qint64 total) {
    return QByteArray(" /* cut, ") + QByteArray::number(total) + " bytes in all */";
}

// The head of a text too long to keep, with the mark; at most `limit` bytes in all, so
// that a cut text fits as it is.
QByteArray cut(const char* data, size_t size, qint64 total, int limit) {
    const int markRoom = 64;
    limit = qMax(limit, int(StatementText::MinTextBytes));
    QByteArray out(data, int(utf8Head(data, size, size_t(limit - markRoom))));
    out.append(cutMark(total));
    return out;
}

// Index just past the quoted text that opens at `start`; a doubled quote stands for
// itself, and with backslash escapes a backslash takes the next byte along.
int skipQuoted(const QByteArray& text, int start, char close, bool backslash) {
    const int size = text.size();
    int i = start + 1;
    while (i < size) {
        const char c = text.at(i);
        if (backslash && c == '\\') {
            i += 2;
            continue;
        }
        if (c == close) {
            if (close != ']' && i + 1 < size && text.at(i + 1) == close) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return size;
}

// Index just past the comment that opens at `start`, or -1 when none opens there.
int skipComment(const QByteArray& text, int start, StatementText::Dialect dialect) {
    const int size = text.size();
    const char c = text.at(start);
    const char next = start + 1 < size ? text.at(start + 1) : '\0';
    if ((c == '-' && next == '-') || (c == '#' && dialect == StatementText::MySql)) {
        const int end = text.indexOf('\n', start);
        return end < 0 ? size : end + 1;
    }
    if (c == '/' && next == '*') {
        const int end = text.indexOf("*/", start + 2);
        return end < 0 ? size : end + 2;
    }
    return -1;
}

// Index just past the quoted text, identifier or comment that opens at `start`, or -1.
int skipNonCode(const QByteArray& text, int start, StatementText::Dialect dialect) {
    const char c = text.at(start);
    const bool backslash = dialect == StatementText::MySql;
    if (c == '\'' || c == '"')
        return skipQuoted(text, start, c, backslash);
    if (c == '`')
        return skipQuoted(text, start, c, false);
    if (c == '[' && dialect == StatementText::Sqlite)
        return skipQuoted(text, start, ']', false);
    return skipComment(text, start, dialect);
}

int wordEnd(const QByteArray& text, int start) {
    int i = start;
    while (i < text.size() && isWordChar(text.at(i)))
        ++i;
    return i;
}

// The next word (upper-cased) after blanks and comments from `pos`; pos moves past it.
QByteArray nextWord(const QByteArray& text, int& pos, StatementText::Dialect dialect) {
    const int size = text.size();
    while (pos < size) {
        if (isBlank(text.at(pos))) {
            ++pos;
            continue;
        }
        const int end = skipComment(text, pos, dialect);
        if (end < 0)
            break;
        pos = end;
    }
    const int start = pos;
    pos = wordEnd(text, pos);
    return text.mid(start, pos - start).toUpper();
}

const char Hidden[] = "***";

bool equalsWord(const char* data, int size, const char* word) {
    return qstrnicmp(data, size, word, -1) == 0;
}

// Which values of a statement trel.mask hides: those the statement pairs with a column it
// names, where the column is compared with the value (password = ?, ? = password,
// password LIKE ?, password IN (...), lower(password) = ?), set to it (SET password =
// MD5(?)), or named in an INSERT or REPLACE column list whose VALUES rows or SELECT list
// give the value in its place. Fed the statement's tokens in order; blanks and comments
// are none.
class ValuePairing {
public:
    explicit ValuePairing(QByteArray* out) : out(out) {}

    // A word, or an identifier written in quotes (without them).
    void name(const char* data, int size, bool quoted) {
        const Last before = last;
        ++tokens;
        if (!quoted && nameIsKeyword(data, size, before))
            return;
        if (insert == Columns && depth == 1)
            columns.back() = isMasked(data, size);
        // At the depth where the paired expression began, a name after a complete value
        // (a literal, a call, NULL) is the next clause (AND, WHERE, ...); a function's
        // name, or BINARY, right after the operator is part of the value.
        if (pairDepth >= 0 && depth == pairDepth &&
            (before == Value || before == Close || before == Name))
            pairDepth = -1;
        if (retroStart >= 0 && (before == Operator || before == Dot) && isMasked(data, size)) {
            out->replace(retroStart, retroEnd - retroStart, Hidden);
            retroStart = -1;
        }
        if (before != Operator && before != Dot)
            retroStart = -1;
        lastName = data;
        lastNameSize = size;
        last = Name;
    }

    void symbol(char c) {
        ++tokens;
        const Last before = last;
        last = Other;
        switch (c) {
        case '(':
            ++depth;
            if (inListNext)
                inListDepth = depth;
            inListNext = false;
            if (depth == 1 && insert == AwaitColumns) {
                insert = Columns;
                columns.assign(1, false);
            } else if (depth == 1 && insert == Rows) {
                column = 0;
            }
            break;
        case ')':
            // "lower(password) = ?" pairs the value with the column too.
            closedMasked = before == Name && isMasked(lastName, lastNameSize);
            if (depth == inListDepth)
                inListDepth = -1;
            if (depth == pairDepth)
                pairDepth = -1;
            --depth;
            if (depth == 0 && insert == Columns)
                insert = AfterColumns;
            last = Close;
            break;
        case ',':
            if (depth == pairDepth)
                pairDepth = -1;
            if (depth == 1 && insert == Columns)
                columns.push_back(false);
            else if ((depth == 1 && insert == Rows) || (depth == 0 && insert == SelectList))
                ++column;
            break;
        case ';':
            *this = ValuePairing(out);
            return;
        case '.':
            last = before == Name ? Dot : Other;
            return;
        case '=':
        case '<':
        case '>':
        case '!':
            comparison(before);
            return;
        default:
            break;
        }
        retroStart = -1;
    }

    // Whether a value would be paired here: SQLite takes a double-quoted word that names
    // no column as a string.
    bool valueExpected() const {
        return (pairDepth >= 0 && last == Operator) || (insert == Rows && depth >= 1) ||
               (inListDepth >= 0 && depth >= inListDepth);
    }

    // A literal or a bound value, appended to the output from `start`: replaced there by
    // "***" when hidden.
    void value(int start, bool hide) {
        ++tokens;
        hide = hide || pairDepth >= 0 || (inListDepth >= 0 && depth >= inListDepth) ||
               ((insert == Rows ? depth >= 1 : insert == SelectList) && column < columns.size() &&
                columns[column]);
        if (hide) {
            out->truncate(start);
            out->append(Hidden);
        }
        // A value compared with a column that comes after it: "'x' = password".
        retroStart = hide ? -1 : start;
        retroEnd = out->size();
        last = Value;
    }

    // A placeholder left as written, with no value bound.
    void placeholder() {
        ++tokens;
        retroStart = -1;
        last = Value;
    }

private:
    enum Last { Start, Name, Dot, Operator, Value, Close, Other };
    enum Insert { None, AwaitColumns, Columns, AfterColumns, Rows, SelectList };

    static bool isMasked(const char* data, int size) {
        return trel_is_masked_key(data, size_t(size));
    }

    // The operator after `before`: a column named just before pairs with what follows.
    void comparison(Last before) {
        if (before == Operator) {
            last = Operator;
            return;
        }
        if ((before == Name && isMasked(lastName, lastNameSize)) ||
            (before == Close && closedMasked))
            pairDepth = depth;
        if (before != Value)
            retroStart = -1;
        last = Operator;
    }

    bool nameIsKeyword(const char* data, int size, Last before) {
        if (tokens == 1 &&
            (equalsWord(data, size, "INSERT") || equalsWord(data, size, "REPLACE"))) {
            insert = AwaitColumns;
            return true;
        }
        if (depth == 0 && insert != None && insert != Columns) {
            const bool values = equalsWord(data, size, "VALUES") || equalsWord(data, size, "VALUE");
            const bool select = equalsWord(data, size, "SELECT");
            if (insert == AfterColumns && (values || select)) {
                // INSERT ... SELECT: the select list's values go in the columns' places.
                insert = values ? Rows : SelectList;
                column = 0;
                return true;
            }
            // INSERT INTO t VALUES, ... SELECT, ... SET, the end of the rows, or the
            // select list's FROM.
            if (values || select || insert == Rows || equalsWord(data, size, "SET") ||
                (insert == SelectList &&
                 (equalsWord(data, size, "FROM") || equalsWord(data, size, "WHERE") ||
                  equalsWord(data, size, "UNION"))))
                insert = None;
        }
        if (equalsWord(data, size, "NOT") && before == Name)
            return true;
        if (before == Name && equalsWord(data, size, "IN")) {
            inListNext = isMasked(lastName, lastNameSize);
            last = Operator;
            retroStart = -1;
            return true;
        }
        if (equalsWord(data, size, "LIKE") || equalsWord(data, size, "GLOB") ||
            equalsWord(data, size, "REGEXP") || equalsWord(data, size, "RLIKE")) {
            comparison(before);
            return true;
        }
        return false;
    }

    QByteArray* out;
    Last last = Start;
    int tokens = 0;
    int depth = 0;
    const char* lastName = nullptr;
    int lastNameSize = 0;
    // The depth where a value paired with a masked column began, while it goes on.
    int pairDepth = -1;
    // Inside a masked column's IN (...) list.
    bool inListNext = false;
    int inListDepth = -1;
    // The last value, not hidden, while an operator and a column may still follow it.
    int retroStart = -1;
    int retroEnd = 0;
    Insert insert = None;
    // After a ')': whether the last name inside was a masked column.
    bool closedMasked = false;
    // An INSERT's columns, whether each is masked, and the current row's position.
    std::vector<bool> columns;
    size_t column = 0;
};

} // namespace

QByteArray StatementText::resolve(const QByteArray& text, const Bindings& bindings, Dialect dialect,
                                  int limit) {
    QByteArray out;
    out.reserve(qMin(text.size(), limit) + 64);
    const int size = text.size();
    ValuePairing pairing(&out);
    // SQLite numbers parameters as it meets them: a bare '?' takes the next number, ?NNN
    // its own, and a name the next number the first time it appears.
    int next = 0;
    QHash<QByteArray, int> nameNumbers;
    int i = 0;
    while (i < size && out.size() <= limit) {
        const char c = text.at(i);
        const int skipped = skipNonCode(text, i, dialect);
        if (skipped >= 0) {
            const int start = out.size();
            out.append(text.constData() + i, skipped - i);
            if (c == '\'' || (c == '"' && (dialect == MySql || pairing.valueExpected())))
                pairing.value(start, false);
            else if (c == '"' || c == '`' || c == '[')
                pairing.name(text.constData() + i + 1, qMax(0, skipped - i - 2), true);
            i = skipped;
            continue;
        }
        if (c == '?') {
            int end = i + 1;
            int position;
            if (dialect == Sqlite && end < size && text.at(end) >= '0' && text.at(end) <= '9') {
                while (end < size && text.at(end) >= '0' && text.at(end) <= '9')
                    ++end;
                position = text.mid(i + 1, end - i - 1).toInt() - 1;
                next = qMax(next, position + 1);
            } else {
                position = next++;
            }
            const auto found = bindings.positional.constFind(position);
            const int start = out.size();
            if (found != bindings.positional.constEnd()) {
                out.append(found.value());
                pairing.value(start, false);
            } else {
                out.append(text.constData() + i, end - i);
                pairing.placeholder();
            }
            i = end;
            continue;
        }
        if (c == ':' && i + 1 < size && text.at(i + 1) == ':') {
            out.append("::");
            i += 2;
            continue;
        }
        const bool namePrefix = c == ':' || (dialect == Sqlite && (c == '@' || c == '$'));
        if (namePrefix && i + 1 < size && isWordChar(text.at(i + 1))) {
            const int end = wordEnd(text, i + 1);
            const QByteArray name = text.mid(i + 1, end - i - 1);
            const QByteArray* value = nullptr;
            const auto found = bindings.named.constFind(name);
            if (found != bindings.named.constEnd())
                value = &found.value();
            if (dialect == Sqlite) {
                auto number = nameNumbers.constFind(name);
                if (number == nameNumbers.constEnd())
                    number = nameNumbers.insert(name, next++);
                const auto byNumber = bindings.positional.constFind(number.value());
                if (!value && byNumber != bindings.positional.constEnd())
                    value = &byNumber.value();
            }
            const int start = out.size();
            if (value) {
                out.append(*value);
                pairing.value(start, trel_is_masked_key(name.constData(), size_t(name.size())));
            } else {
                out.append(text.constData() + i, end - i);
                pairing.placeholder();
            }
            i = end;
            continue;
        }
        if (isWordChar(c)) {
            // A word is copied whole, so that "a:b" inside no word is the only named form;
            // a number with its fraction.
            int end = wordEnd(text, i);
            if (c >= '0' && c <= '9') {
                while (end < size && (text.at(end) == '.' || isWordChar(text.at(end))))
                    ++end;
            }
            const int start = out.size();
            out.append(text.constData() + i, end - i);
            if (c >= '0' && c <= '9')
                pairing.value(start, false);
            else
                pairing.name(text.constData() + i, end - i, false);
            i = end;
            continue;
        }
        if (!isBlank(c))
            pairing.symbol(c);
        out.append(c);
        ++i;
    }
    if (i < size || out.size() > limit)
        return cut(out.constData(), size_t(out.size()), qint64(out.size()) + (size - i), limit);
    return out;
}

QByteArray StatementText::stringLiteral(const char* data, size_t size) {
    return stringLiteral(data, size, qint64(size));
}

QByteArray StatementText::stringLiteral(const char* data, size_t size, qint64 fullSize) {
    const size_t shown = utf8Head(data, size, MaxValueBytes);
    QByteArray out;
    out.reserve(int(shown) + 40);
    out.append('\'');
    for (size_t i = 0; i < shown; ++i) {
        const char c = data[i];
        if (c == '\'')
            out.append("''");
        else if (c == '\0')
            out.append("\\0");
        else
            out.append(c);
    }
    if (qint64(shown) < fullSize)
        out.append("...'").append(cutMark(fullSize));
    else
        out.append('\'');
    return out;
}

QByteArray StatementText::bounded(const QByteArray& text, int limit) {
    if (text.size() <= limit)
        return text;
    return cut(text.constData(), size_t(text.size()), text.size(), limit);
}

QByteArray StatementText::bounded(const char* data, size_t size, int limit) {
    if (size <= size_t(limit))
        return QByteArray(data, int(size));
    return cut(data, size, qint64(size), limit);
}

StatementText::Kind StatementText::kind(const QByteArray& text, Dialect dialect) {
    int pos = 0;
    const QByteArray first = nextWord(text, pos, dialect);
    if (first == "BEGIN")
        return Begin;
    if (first == "START")
        return nextWord(text, pos, dialect) == "TRANSACTION" ? Begin : Other;
    if (first == "COMMIT" || (first == "END" && dialect == Sqlite))
        return Commit;
    if (first == "ROLLBACK") {
        QByteArray word = nextWord(text, pos, dialect);
        if (word == "WORK" || word == "TRANSACTION")
            word = nextWord(text, pos, dialect);
        return word == "TO" ? Other : Rollback;
    }
    if (first == "INSERT" || first == "UPDATE" || first == "DELETE" || first == "REPLACE")
        return DataChange;
    return Other;
}
