// Fuzzes the user-agent filter: the rows of trel_user_agent and the User-Agent texts
// checked against them. The input is text: each line before a line "--" is the pattern
// of one row ("\N" alone stands for NULL), each line after it one User-Agent text;
// without a "--" line every line is both a pattern and a text. Every input loads its
// rows into a new collector (KTrel::release, then initialize), as a new worker would.
//
// What must hold besides not crashing: an empty or white-space text is never allowed;
// when no row has a valid pattern nothing is allowed; every invalid, empty or NULL
// pattern is logged and skipped, every valid one loaded; a text is allowed exactly when
// a valid pattern matches it anywhere (recomputed here with QRegExp); white space around
// a text does not change the answer.

#include "fuzzsupport.h"

#include <trel/ktrel.h>

#include <QList>
#include <QStringList>
#include <QtCore5Compat/QRegExp>

#include <cstddef>
#include <cstdint>

namespace {

const int MaxRows = 8;
const int MaxTexts = 16;
const QString Separator = QStringLiteral("--");
const QString NullPattern = QStringLiteral("\\N");

struct Row {
    QVariant pattern; // null for NULL
    bool valid = false;
    QRegExp regExp;
};

void loadRows(const QList<Row>& rows) {
    QSqlDatabase& db = fuzz::checkDb();
    db.transaction();
    fuzz::run(QStringLiteral("DELETE FROM trel_user_agent"));
    for (int i = 0; i < rows.size(); ++i)
        fuzz::run(
            QStringLiteral("INSERT INTO trel_user_agent (id, user_agent, extra, agent_string) "
                           "VALUES (?, ?, ?, ?)"),
            {i + 1, QStringLiteral("agent%1").arg(i), QString(), rows.at(i).pattern});
    if (!db.commit())
        fuzz::violation("cannot store the user-agent rows", db.lastError().text());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::captureLog(3);
    fuzz::installation();
    // Another program writes this table; a NULL pattern must be possible.
    fuzz::run(QStringLiteral("DROP TABLE trel_user_agent"));
    fuzz::run(QStringLiteral("CREATE TABLE trel_user_agent (id INTEGER PRIMARY KEY, user_agent "
                             "TEXT, extra TEXT, agent_string TEXT)"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList lines =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size))
            .split(QLatin1Char('\n'));
    QStringList patterns;
    QStringList texts;
    const int separator = lines.indexOf(Separator);
    if (separator >= 0) {
        patterns = lines.mid(0, separator);
        texts = lines.mid(separator + 1);
    } else {
        patterns = lines;
        texts = lines;
    }
    patterns = patterns.mid(0, MaxRows);
    texts = texts.mid(0, MaxTexts);

    QList<Row> rows;
    int validRows = 0;
    for (const QString& pattern : qAsConst(patterns)) {
        Row row;
        if (pattern != NullPattern) {
            row.pattern = pattern;
            row.regExp = QRegExp(pattern, Qt::CaseInsensitive, QRegExp::RegExp);
            // The empty expression would match every text: such a row allows nothing.
            row.valid = !pattern.isEmpty() && row.regExp.isValid();
        }
        validRows += row.valid ? 1 : 0;
        rows << row;
    }
    loadRows(rows);

    fuzz::logLines().clear();
    KTrel::release();
    KTrel* trel = KTrel::instance();
    trel->initialize(fuzz::installation(), fuzz::Stream);
    if (fuzz::countLines(QStringLiteral("KTrel::loadUserAgentTable:"), 0) != 0)
        fuzz::violation("loading the user agents failed", fuzz::logLines().front().text);
    const int loaded = fuzz::countLines(QStringLiteral("Trel: Loaded User-Agent:"), 3);
    const int refused = fuzz::countLines(QStringLiteral("User-Agent entry:"), 1);
    if (loaded != validRows || refused != rows.size() - validRows)
        fuzz::violation("rows loaded or refused wrongly",
                        QStringLiteral("%1 loaded, %2 refused; %3 of %4 rows are valid")
                            .arg(loaded)
                            .arg(refused)
                            .arg(validRows)
                            .arg(rows.size()));

    const QString space = QStringLiteral(" \t\r\n\v\f\u00a0\u3000");
    if (trel->isAgentAllowed(QString()) || trel->isAgentAllowed(space) ||
        trel->isAgentAllowed(space.left(static_cast<int>(size % space.size()) + 1)))
        fuzz::violation("an empty or white-space User-Agent is allowed");

    for (const QString& text : qAsConst(texts)) {
        const bool allowed = trel->isAgentAllowed(text);
        const QString trimmed = text.trimmed();
        bool expected = false;
        for (const Row& row : qAsConst(rows))
            expected = expected || (row.valid && row.regExp.indexIn(trimmed, 0) != -1);
        if (trimmed.isEmpty())
            expected = false;
        if (allowed && trimmed.isEmpty())
            fuzz::violation("a white-space User-Agent is allowed", text);
        if (allowed && validRows == 0)
            fuzz::violation("a User-Agent is allowed with no valid pattern", text);
        if (allowed != expected)
            fuzz::violation(allowed ? "a User-Agent no pattern matches is allowed"
                                    : "a User-Agent a pattern matches is refused",
                            text);
        if (trel->isAgentAllowed(space + text + space) != allowed)
            fuzz::violation("white space around a User-Agent changes the answer", text);
    }
    return 0;
}
