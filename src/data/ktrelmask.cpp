#include <trel/ktrel.h>

#include <QStringMatcher>

#include <algorithm>
#include <vector>

namespace {

// Each value once, found with its own matcher: one search of every text per value, and a
// text is changed only where a value occurs in it.
class ValueMatchers {
public:
    explicit ValueMatchers(const QSet<QByteArray>& values) {
        QSet<QString> texts;
        for (const QByteArray& value : values) {
            const QString text = QString::fromUtf8(value);
            texts.insert(text);
            // As an SQL string literal shows it.
            if (text.contains(QLatin1Char('\'')))
                texts.insert(QString(text).replace(QLatin1Char('\''), QStringLiteral("''")));
        }
        // A longer value first: one that holds a shorter one is hidden whole.
        std::vector<QString> ordered(texts.begin(), texts.end());
        std::sort(ordered.begin(), ordered.end(),
                  [](const QString& a, const QString& b) { return a.size() > b.size(); });
        for (const QString& text : ordered)
            matchers.emplace_back(text);
    }

    void apply(QString& text) const {
        for (const QStringMatcher& matcher : matchers) {
            qsizetype at = matcher.indexIn(text);
            if (at < 0)
                continue;
            const qsizetype size = matcher.pattern().size();
            QString out;
            out.reserve(text.size());
            qsizetype from = 0;
            while (at >= 0) {
                out.append(QStringView(text).mid(from, at - from)).append(QLatin1String("***"));
                from = at + size;
                at = matcher.indexIn(text, from);
            }
            out.append(QStringView(text).mid(from));
            text = out;
        }
    }

private:
    std::vector<QStringMatcher> matchers;
};

} // namespace

void KTrel::addMaskedValue(const QByteArray& value) {
    if (value.size() >= MinMaskedValueBytes)
        maskedValues.insert(value);
}

void KTrel::maskValues() {
    if (maskedValues.isEmpty())
        return;
    const ValueMatchers matchers(maskedValues);
    QString url = request.getUrl();
    matchers.apply(url);
    request.setUrl(url);
    for (SqlQuery& query : sqlQueries) {
        matchers.apply(query.preparedStatement);
        matchers.apply(query.resolvedStatement);
        matchers.apply(query.errorMessage);
    }
    for (PhpError& error : phpErrors) {
        matchers.apply(error.message);
        if (UncaughtException* exception = error.exception.data()) {
            matchers.apply(exception->message);
            matchers.apply(exception->file);
            for (TraceFrame& frame : exception->trace) {
                matchers.apply(frame.call);
                matchers.apply(frame.file);
            }
        }
    }
    matchers.apply(context.referer);
    for (QPair<QString, QString>& header : context.responseHeaders)
        matchers.apply(header.second);
    for (LogMessage& message : context.logMessages)
        matchers.apply(message.message);
    for (QString& backtrace : backtraces)
        matchers.apply(backtrace);
    std::set<QByteArray> keys;
    for (const QByteArray& key : eventAggKeys) {
        QString text = QString::fromUtf8(key);
        matchers.apply(text);
        keys.insert(text.toUtf8());
    }
    eventAggKeys.swap(keys);
}
