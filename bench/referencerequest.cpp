#include "referencerequest.h"

namespace {

class FixedGenerator : public IBacktraceGenerator {
public:
    explicit FixedGenerator(const QString& text) : m_text(text) {}
    QString generateBacktrace() override { return m_text; }
    void getFileAndLine(QString& fileName, int& line) override {
        fileName = QStringLiteral("/var/www/shop/src/Repository/CartRepository.php");
        line = 128;
    }

private:
    QString m_text;
};

QByteArray padded(const QByteArray& base, int length) {
    QByteArray text = base;
    while (text.size() < length)
        text += '_' + QByteArray::number(text.size());
    return text.left(length);
}

} // namespace

ReferenceRequest::ReferenceRequest(unsigned seed) : m_random(seed) {
    for (int i = 0; i < Urls; ++i)
        urls << QStringLiteral("https://shop.example.com/catalog/category-%1/product?id=%2&page=%3")
                    .arg(i % 7)
                    .arg(1000 + i)
                    .arg(i % 3);
    for (int i = 0; i < Statements; ++i) {
        const QString table = QStringLiteral("table_%1").arg(i);
        prepared << QStringLiteral("SELECT p.id, p.name, p.price, p.stock FROM %1 p JOIN "
                                   "categories c ON c.id = p.category_id WHERE p.id = ? AND "
                                   "c.visible = ? ORDER BY p.name LIMIT ?")
                        .arg(table);
        QString text = prepared.last();
        text.replace(QStringLiteral("p.id = ?"), QStringLiteral("p.id = %1").arg(4711 + i));
        text.replace(QStringLiteral("c.visible = ?"), QStringLiteral("c.visible = 1"));
        text.replace(QStringLiteral("LIMIT ?"), QStringLiteral("LIMIT 20"));
        resolved << text.leftJustified(150, QLatin1Char(' '), true);
    }
    QString frame;
    for (int i = 0; backtrace.size() < 1500; ++i)
        backtrace += QStringLiteral("#%1 /var/www/shop/src/Controller/CartController.php(%2): "
                                    "App\\Repository\\CartRepository->findItems()\n")
                         .arg(i)
                         .arg(40 + i);
    backtrace.truncate(1500);
    for (int i = 0; i < Functions; ++i) {
        functionNames.push_back(padded("function_" + QByteArray::number(i), 20));
        functionScopes.push_back(padded("Scope" + QByteArray::number(i % 25), 15));
        functionFiles.push_back(padded("/var/www/shop/src/file" + QByteArray::number(i % 40), 40));
    }
    for (int i = 0; i < Events; ++i)
        eventKeys.push_back("monitor.event." + QByteArray::number(i));
    sampleData = padded("a:12:{s:4:\"HOST\";s:16:\"shop.example.com\";", 1024);
}

void ReferenceRequest::collect(KTrel* trel) {
    if (!trel->getBacktraceGenerator())
        trel->setBacktraceGenerator(new FixedGenerator(backtrace));
    ++m_serial;
    trel->setPageId(QStringLiteral("page-%1").arg(m_serial));
    trel->setRequest(urls.at(static_cast<int>(m_random() % Urls)));
    trel->setRequestMethod(QStringLiteral("GET"));
    trel->setRequestStatus(200);
    trel->setRequestStartTime(QDateTime::currentDateTime());
    trel->setIsPrimaryPage(true);
    trel->getRequest().setPeakMemoryUsage(12 * 1024 * 1024);
    trel->getRequest().setMemoryLimit(128 * 1024 * 1024);

    for (int i = 0; i < Samples / 2; ++i)
        trel->addSerializedSuperGlobal("_SERVER" + QByteArray::number(i), sampleData,
                                       KTrel::SAMPLE_START);
    for (int i = 0; i < Queries; ++i) {
        const int s = static_cast<int>(m_random() % Statements);
        KTrel::SqlQuery query;
        query.preparedStatement = prepared.at(s);
        query.resolvedStatement = resolved.at(s);
        query.hasPreparedStatement = true;
        query.status = 0;
        query.rowsAffected = static_cast<int>(m_random() % 20);
        query.queryTime = 100 + static_cast<int>(m_random() % 5000);
        query.transactionId = i % 3 == 0 ? 1 + i / 3 : 0;
        query.backtraceId = -1;
        trel->addRequestSqlQuery(query);
    }
    static const int types[Errors] = {2, 8, 8192, 1024};
    for (int i = 0; i < Errors; ++i) {
        const int bt = i < 2 ? trel->addBacktrace(backtrace) : -1;
        trel->addPhpError(types[i], "/var/www/shop/src/Controller/CartController.php",
                          static_cast<unsigned>(40 + i), "Undefined index: product_id", bt);
    }
    QHash<QByteArray, KFunctionStats>& stats = trel->getFunctionsStats();
    for (int i = 0; i < Functions; ++i) {
        KFunctionStats& entry = stats[functionScopes[i] + "::" + functionNames[i]];
        entry.setFunctionName(functionNames[i]);
        entry.setFunctionScope(functionScopes[i]);
        entry.setFilename(functionFiles[i]);
        entry.setLine(10 + i);
        entry.incrementCalls();
        entry.updateTimers(50 + i, 120 + i);
    }
    for (const QByteArray& key : eventKeys)
        trel->addEventAggKey(key);
    timeval db{0, 8000}, net{0, 2000}, other{0, 500}, local{0, 1000};
    trel->addProcessingBreakdownData(db, net, other, local);
    for (int i = 0; i < Samples / 2; ++i)
        trel->addSerializedSuperGlobal("_SERVER" + QByteArray::number(i), sampleData,
                                       KTrel::SAMPLE_END);
    trel->setRequestTime(45000);
}
