#include "requestgenerator.h"

#include "random.h"

#include <QUrl>

namespace {

const char* const Root = "/var/www/shop/";

enum Route {
    Home,
    ProductList,
    Product,
    Category,
    Search,
    Cart,
    CartAdd,
    Checkout,
    Orders,
    ApiProduct,
    ApiEvents,
    Blog,
    AdminReport,
    Login,
    RouteCount
};

struct RouteInfo {
    const char* controller;
    const char* action;
    const char* file;
    int line;
    const char* method;
    int status;
    bool primary;
    int weight;
};

const RouteInfo routes[RouteCount] = {
    {"App\\Controller\\HomeController", "index", "src/Controller/HomeController.php", 21, "GET",
     200, true, 10},
    {"App\\Controller\\ProductController", "list", "src/Controller/ProductController.php", 34,
     "GET", 200, true, 10},
    {"App\\Controller\\ProductController", "show", "src/Controller/ProductController.php", 58,
     "GET", 200, true, 25},
    {"App\\Controller\\CategoryController", "show", "src/Controller/CategoryController.php", 27,
     "GET", 200, true, 10},
    {"App\\Controller\\SearchController", "search", "src/Controller/SearchController.php", 19,
     "GET", 200, true, 8},
    {"App\\Controller\\CartController", "show", "src/Controller/CartController.php", 25, "GET", 200,
     true, 6},
    {"App\\Controller\\CartController", "add", "src/Controller/CartController.php", 47, "POST", 302,
     true, 6},
    {"App\\Controller\\CheckoutController", "submit", "src/Controller/CheckoutController.php", 64,
     "POST", 303, true, 3},
    {"App\\Controller\\AccountController", "order", "src/Controller/AccountController.php", 40,
     "GET", 200, true, 3},
    {"App\\Api\\ProductApi", "get", "src/Api/ProductApi.php", 18, "GET", 200, false, 8},
    {"App\\Api\\EventApi", "ingest", "src/Api/EventApi.php", 22, "POST", 202, false, 4},
    {"App\\Controller\\BlogController", "post", "src/Controller/BlogController.php", 30, "GET", 200,
     true, 4},
    {"App\\Controller\\Admin\\ReportController", "sales",
     "src/Controller/Admin/ReportController.php", 52, "GET", 200, true, 1},
    {"App\\Controller\\AuthController", "login", "src/Controller/AuthController.php", 36, "POST",
     302, true, 2},
};

// Parameter kinds, one letter per "?": p product, c category slug, o offset, i cart,
// h session token, b blog slug, u user, w search words, t date, q quantity, m money,
// e event name, s JSON text, a audit action, n order.
struct Statement {
    const char* text;
    const char* params;
    const char* repository;
    const char* method;
    const char* file;
    int line;
    int minRows;
    int maxRows;
    qint64 minTime;
    qint64 maxTime;
    bool write;
    bool prepared;
};

enum StatementId {
    ProductById,
    ProductsByCategory,
    CountByCategory,
    UserBySession,
    CartItems,
    PostBySlug,
    OrdersOfUser,
    SearchProducts,
    SalesReport,
    OrderWithLines,
    Settings,
    Images,
    AddToCart,
    TakeStock,
    InsertOrder,
    InsertOrderLine,
    WriteSession,
    EmptyCart,
    InsertEvent,
    TouchUser,
    Audit,
    StatementCount
};

const Statement statements[StatementCount] = {
    {"SELECT id, name, price, stock FROM products WHERE id = ?", "p",
     "App\\Repository\\ProductRepository", "find", "src/Repository/ProductRepository.php", 42, 0, 1,
     80, 6000, false, true},
    {"SELECT p.id, p.name, p.price FROM products p JOIN categories c ON c.id = p.category_id WHERE "
     "c.slug = ? ORDER BY p.price LIMIT 24 OFFSET ?",
     "co", "App\\Repository\\ProductRepository", "findByCategory",
     "src/Repository/ProductRepository.php", 67, 0, 24, 400, 90000, false, true},
    {"SELECT COUNT(*) FROM products p JOIN categories c ON c.id = p.category_id WHERE c.slug = ?",
     "c", "App\\Repository\\ProductRepository", "countByCategory",
     "src/Repository/ProductRepository.php", 81, 1, 1, 200, 40000, false, true},
    {"SELECT id, email, name FROM users WHERE session_token = ?", "h", "App\\Http\\SessionStore",
     "read", "src/Http/SessionStore.php", 44, 0, 1, 70, 3000, false, true},
    {"SELECT ci.product_id, ci.quantity, p.price FROM cart_items ci JOIN products p ON p.id = "
     "ci.product_id WHERE ci.cart_id = ?",
     "i", "App\\Repository\\CartRepository", "items", "src/Repository/CartRepository.php", 29, 0, 8,
     150, 12000, false, true},
    {"SELECT id, title, body, published_at FROM posts WHERE slug = ?", "b",
     "App\\Repository\\PostRepository", "findBySlug", "src/Repository/PostRepository.php", 23, 0, 1,
     90, 5000, false, true},
    {"SELECT id, total, status, created_at FROM orders WHERE user_id = ? ORDER BY created_at DESC "
     "LIMIT 20",
     "u", "App\\Repository\\OrderRepository", "ofUser", "src/Repository/OrderRepository.php", 38, 0,
     20, 300, 30000, false, true},
    {"SELECT id, name FROM products WHERE MATCH(name, description) AGAINST (? IN BOOLEAN MODE) "
     "LIMIT 20",
     "w", "App\\Repository\\ProductRepository", "search", "src/Repository/ProductRepository.php",
     102, 0, 20, 2000, 400000, false, true},
    {"SELECT DATE(created_at) AS day, COUNT(*), SUM(total) FROM orders WHERE created_at >= ? GROUP "
     "BY day ORDER BY day",
     "t", "App\\Repository\\ReportRepository", "salesByDay", "src/Repository/ReportRepository.php",
     17, 28, 31, 50000, 2000000, false, true},
    {"SELECT o.id, o.total, l.product_id, l.quantity FROM orders o JOIN order_lines l ON "
     "l.order_id = o.id WHERE o.id = ? AND o.user_id = ?",
     "nu", "App\\Repository\\OrderRepository", "withLines", "src/Repository/OrderRepository.php",
     55, 0, 6, 200, 15000, false, true},
    {"SELECT name, value FROM settings WHERE autoload = 1", "", "App\\Config\\Settings", "load",
     "src/Config/Settings.php", 31, 40, 40, 100, 4000, false, false},
    {"SELECT id, url FROM images WHERE product_id IN (?, ?, ?)", "ppp",
     "App\\Repository\\ImageRepository", "forProducts", "src/Repository/ImageRepository.php", 26, 0,
     9, 100, 8000, false, true},
    {"INSERT INTO cart_items (cart_id, product_id, quantity) VALUES (?, ?, ?) ON DUPLICATE KEY "
     "UPDATE quantity = quantity + VALUES(quantity)",
     "ipq", "App\\Repository\\CartRepository", "add", "src/Repository/CartRepository.php", 51, 1, 2,
     200, 25000, true, true},
    {"UPDATE products SET stock = stock - ? WHERE id = ? AND stock >= ?", "qpq",
     "App\\Repository\\ProductRepository", "takeStock", "src/Repository/ProductRepository.php", 120,
     0, 1, 200, 40000, true, true},
    {"INSERT INTO orders (user_id, total, status, created_at) VALUES (?, ?, 'new', NOW())", "um",
     "App\\Repository\\OrderRepository", "create", "src/Repository/OrderRepository.php", 71, 1, 1,
     250, 30000, true, true},
    {"INSERT INTO order_lines (order_id, product_id, quantity, price) VALUES (?, ?, ?, ?)", "npqm",
     "App\\Repository\\OrderRepository", "addLine", "src/Repository/OrderRepository.php", 88, 1, 1,
     150, 20000, true, true},
    {"UPDATE sessions SET last_seen = NOW(), data = ? WHERE id = ?", "sh",
     "App\\Http\\SessionStore", "write", "src/Http/SessionStore.php", 61, 0, 1, 100, 9000, true,
     true},
    {"DELETE FROM cart_items WHERE cart_id = ?", "i", "App\\Repository\\CartRepository", "clear",
     "src/Repository/CartRepository.php", 77, 0, 8, 150, 20000, true, true},
    {"INSERT INTO events (name, payload, created_at) VALUES (?, ?, NOW())", "es",
     "App\\Repository\\EventRepository", "record", "src/Repository/EventRepository.php", 19, 1, 1,
     120, 15000, true, true},
    {"UPDATE users SET last_login = NOW() WHERE id = ?", "u", "App\\Repository\\UserRepository",
     "touch", "src/Repository/UserRepository.php", 47, 1, 1, 150, 10000, true, true},
    {"INSERT INTO audit_log (user_id, action, detail) VALUES (?, ?, ?)", "uas",
     "App\\Repository\\AuditRepository", "log", "src/Repository/AuditRepository.php", 15, 1, 1, 120,
     12000, true, true},
};

// Statement sequences; Begin and Commit mark a transaction.
const int Begin = -1;
const int Commit = -2;

QList<int> sequence(int route, Random& random) {
    switch (route) {
    case Home:
        return {Settings, UserBySession, ProductsByCategory, Images, PostBySlug};
    case ProductList:
        return {Settings, UserBySession, ProductsByCategory, CountByCategory, Images};
    case Product:
        return {Settings, UserBySession, ProductById, Images, ProductsByCategory};
    case Category:
        return {Settings, UserBySession, ProductsByCategory, CountByCategory, Images};
    case Search:
        return {Settings, UserBySession, SearchProducts, Images};
    case Cart:
        return {Settings, UserBySession, CartItems, Images, WriteSession};
    case CartAdd:
        return {Settings,  UserBySession, Begin,     ProductById,
                AddToCart, Commit,        CartItems, WriteSession};
    case Checkout: {
        QList<int> list{Settings, UserBySession, CartItems, Begin, InsertOrder};
        const int lines = static_cast<int>(random.between(1, 4));
        for (int i = 0; i < lines; ++i)
            list << InsertOrderLine << TakeStock;
        list << EmptyCart << Commit << InsertEvent << WriteSession;
        return list;
    }
    case Orders:
        return {Settings, UserBySession, OrderWithLines, OrdersOfUser};
    case ApiProduct:
        return {UserBySession, ProductById, Images};
    case ApiEvents: {
        QList<int> list{UserBySession, Begin};
        const int events = static_cast<int>(random.between(1, 6));
        for (int i = 0; i < events; ++i)
            list << InsertEvent;
        list << Commit;
        return list;
    }
    case Blog:
        return {Settings, UserBySession, PostBySlug};
    case AdminReport:
        return {Settings, UserBySession, SalesReport, Audit};
    case Login:
        return {Settings, UserBySession, TouchUser, Audit, WriteSession};
    }
    return {};
}

const QStringList categories = {QStringLiteral("shoes"),   QStringLiteral("jackets"),
                                QStringLiteral("bags"),    QStringLiteral("outdoor"),
                                QStringLiteral("kids"),    QStringLiteral("sale"),
                                QStringLiteral("watches"), QStringLiteral("home-office")};
const QStringList posts = {QStringLiteral("spring-collection"), QStringLiteral("care-for-leather"),
                           QStringLiteral("free-shipping-week"),
                           QStringLiteral("our-new-warehouse"), QStringLiteral("sizing-guide")};
const QStringList words = {QStringLiteral("red shoes"),   QStringLiteral("rain jacket"),
                           QStringLiteral("leather bag"), QStringLiteral("+wool -cotton"),
                           QStringLiteral("running"),     QStringLiteral("gift card"),
                           QStringLiteral("café table"),  QStringLiteral("o'neill")};
const QStringList eventNames = {QStringLiteral("page_view"), QStringLiteral("add_to_cart"),
                                QStringLiteral("scroll_depth"), QStringLiteral("video_play"),
                                QStringLiteral("newsletter_signup")};
const QStringList auditActions = {QStringLiteral("login"), QStringLiteral("report.view"),
                                  QStringLiteral("report.export")};

QString sqlText(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

struct Context {
    qint64 product;
    qint64 cart;
    qint64 user;
    qint64 order;
    QString session;
    QString category;
    QString post;
    QString search;
};

QString parameter(char kind, Random& random, const Context& context) {
    switch (kind) {
    case 'p':
        return QString::number(random.chance(0.5) ? context.product : random.between(1, 2400));
    case 'c':
        return sqlText(context.category);
    case 'o':
        return QString::number(24 * random.between(0, 6));
    case 'i':
        return QString::number(context.cart);
    case 'h':
        return sqlText(context.session);
    case 'b':
        return sqlText(context.post);
    case 'u':
        return QString::number(context.user);
    case 'w':
        return sqlText(context.search);
    case 't':
        return sqlText(
            QStringLiteral("2024-%1-01").arg(random.between(1, 12), 2, 10, QLatin1Char('0')));
    case 'q':
        return QString::number(random.between(1, 5));
    case 'm':
        return QStringLiteral("%1.%2")
            .arg(random.between(4, 999))
            .arg(random.between(0, 99), 2, 10, QLatin1Char('0'));
    case 'e':
        return sqlText(random.pick(eventNames));
    case 's':
        return sqlText(QStringLiteral("{\"ref\":\"%1\",\"n\":%2}")
                           .arg(random.hex(6))
                           .arg(random.between(1, 99)));
    case 'a':
        return sqlText(random.pick(auditActions));
    case 'n':
        return QString::number(context.order);
    }
    return QStringLiteral("NULL");
}

QString resolve(const Statement& statement, Random& random, const Context& context) {
    QString resolved;
    const QString text = QString::fromLatin1(statement.text);
    int next = 0;
    for (const QChar c : text) {
        if (c == QLatin1Char('?') && statement.params[next]) {
            resolved += parameter(statement.params[next], random, context);
            ++next;
        } else {
            resolved += c;
        }
    }
    return resolved;
}

QString path(const char* relative) {
    return QString::fromLatin1(Root) + QString::fromLatin1(relative);
}

// The PHP stack below a statement: connection, repository, controller, router, kernel.
QStringList queryFrames(const Statement& statement, const RouteInfo& route,
                        const QString& resolved) {
    const QString shortStatement = resolved.left(24) + QStringLiteral("...");
    return {
        QStringLiteral("#0 %1(77): %2")
            .arg(path("src/Db/Connection.php"),
                 statement.prepared ? QStringLiteral("PDOStatement->execute(Array)")
                                    : QStringLiteral("PDO->query('%1')").arg(shortStatement)),
        QStringLiteral("#1 %1(%2): App\\Db\\Connection->query('%3', Array)")
            .arg(path(statement.file))
            .arg(statement.line)
            .arg(shortStatement),
        QStringLiteral("#2 %1(%2): %3->%4()")
            .arg(path(route.file))
            .arg(route.line)
            .arg(QString::fromLatin1(statement.repository), QString::fromLatin1(statement.method)),
        QStringLiteral("#3 %1(112): %2->%3(Object(App\\Http\\Request))")
            .arg(path("src/Router.php"), QString::fromLatin1(route.controller),
                 QString::fromLatin1(route.action)),
        QStringLiteral("#4 %1(58): App\\Router->dispatch(Object(App\\Http\\Request))")
            .arg(path("src/Kernel.php")),
        QStringLiteral("#5 %1(25): App\\Kernel->handle(Object(App\\Http\\Request))")
            .arg(path("public/index.php")),
        QStringLiteral("#6 {main}")};
}

QStringList errorFrames(const QString& file, int line, const RouteInfo& route) {
    return {QStringLiteral("#0 %1(%2): App\\View\\Renderer->render()").arg(file).arg(line),
            QStringLiteral("#1 %1(%2): %3->%4(Object(App\\Http\\Request))")
                .arg(path(route.file))
                .arg(route.line)
                .arg(QString::fromLatin1(route.controller), QString::fromLatin1(route.action)),
            QStringLiteral("#2 %1(112): App\\Router->dispatch(Object(App\\Http\\Request))")
                .arg(path("src/Router.php")),
            QStringLiteral("#3 %1(25): App\\Kernel->handle(Object(App\\Http\\Request))")
                .arg(path("public/index.php")),
            QStringLiteral("#4 {main}")};
}

// PHP's serialize() of a flat array of texts and numbers.
QByteArray serialize(const QList<QPair<QString, QString>>& entries) {
    QByteArray data = "a:" + QByteArray::number(entries.size()) + ":{";
    for (const auto& entry : entries) {
        const QByteArray key = entry.first.toUtf8();
        const QByteArray value = entry.second.toUtf8();
        data += "s:" + QByteArray::number(key.size()) + ":\"" + key + "\";";
        bool number = false;
        entry.second.toLongLong(&number);
        if (number)
            data += "i:" + value + ";";
        else
            data += "s:" + QByteArray::number(value.size()) + ":\"" + value + "\";";
    }
    return data + "}";
}

int weightedRoute(Random& random) {
    int total = 0;
    for (const RouteInfo& route : routes)
        total += route.weight;
    int draw = random.below(total);
    for (int i = 0; i < RouteCount; ++i) {
        if (draw < routes[i].weight)
            return i;
        draw -= routes[i].weight;
    }
    return Home;
}

bool isFatal(int type) {
    return type == 1 || type == 4 || type == 16 || type == 64 || type == 256;
}

// How often each type turns up once the first requests have shown every one.
int weightedErrorType(Random& random, bool allowFatal) {
    struct Weight {
        int type;
        int weight;
    };
    static const Weight weights[] = {{8, 250},  {2, 250},   {8192, 200}, {1024, 80}, {16384, 60},
                                     {512, 50}, {2048, 30}, {4096, 20},  {128, 10},  {32, 10},
                                     {1, 15},   {256, 10},  {4, 3},      {16, 2},    {64, 3}};
    int total = 0;
    for (const Weight& w : weights) {
        if (allowFatal || !isFatal(w.type))
            total += w.weight;
    }
    int draw = random.below(total);
    for (const Weight& w : weights) {
        if (!allowFatal && isFatal(w.type))
            continue;
        if (draw < w.weight)
            return w.type;
        draw -= w.weight;
    }
    return 8;
}

SimulatedError makeError(int type, Random& random, const RouteInfo& route, const Context& context) {
    SimulatedError error;
    error.type = type;
    // Each draw in a statement of its own: the order of draws must not depend on the
    // compiler's order of evaluating operands.
    const QString cacheFolder = random.hex(2);
    const QString cacheFile = random.hex(16);
    const QString twig = path("var/cache/twig/") + cacheFolder + QLatin1Char('/') + cacheFile +
                         QStringLiteral(".php");
    bool backtrace = true;
    switch (type) {
    case 1:
        error.file = path("vendor/twig/twig/src/Environment.php");
        error.line = 358;
        error.message = QStringLiteral(
            "Allowed memory size of 134217728 bytes exhausted (tried to allocate 20480 bytes)");
        break;
    case 2:
        error.file = twig;
        error.line = static_cast<int>(random.between(20, 400));
        if (random.chance(0.3)) {
            error.message =
                QStringLiteral("htmlspecialchars(): Argument #1 ($string) must be of type string, "
                               "array given in <b>templates/product.html.twig</b>");
        } else {
            static const QList<QByteArray> keys = {"sort", "page", "variant", "coupon",
                                                   "utm_source"};
            error.format = "Undefined array key \"%s\"";
            error.textArgument = random.pick(keys);
            error.silenced = random.chance(0.3);
        }
        break;
    case 4:
        error.file = path("src/Controller/Admin/ReportController.php");
        error.line = 88;
        error.message = QStringLiteral("syntax error, unexpected token \"}\", expecting \";\"");
        backtrace = false;
        break;
    case 8:
        error.file = path("src/View/Helper.php");
        error.line = 23;
        error.format = "Undefined offset: %d";
        error.numberArgument = static_cast<int>(random.between(0, 9));
        error.silenced = random.chance(0.3);
        break;
    case 16:
        error.file = QStringLiteral("Unknown");
        error.message =
            QStringLiteral("PHP Startup: Unable to load dynamic library 'imagick.so' (tried: "
                           "/usr/lib/php/20220829/imagick.so (libMagickWand-6.Q16.so.6: cannot "
                           "open shared object file: No such file or directory))");
        backtrace = false;
        break;
    case 32:
        error.file = QStringLiteral("Unknown");
        error.message = QStringLiteral("Module \"redis\" is already loaded");
        backtrace = false;
        break;
    case 64:
        error.file = path("src/Util/legacy.php");
        error.line = 40;
        error.message = QStringLiteral("Cannot redeclare App\\Util\\slugify() (previously declared "
                                       "in /var/www/shop/src/Util/functions.php:12)");
        backtrace = false;
        break;
    case 128:
        error.file = path("src/Legacy/Import.php");
        error.line = 3;
        error.message = QStringLiteral("Unsupported declare 'strict_type'");
        backtrace = false;
        break;
    case 256:
        error.file = path("src/Payment/Gateway.php");
        error.line = 142;
        error.format = "Payment gateway rejected order %d: invalid signature";
        error.numberArgument = static_cast<int>(context.order);
        break;
    case 512:
        error.file = path("src/Cache/RedisCache.php");
        error.line = 57;
        error.message = QStringLiteral("Cache backend unavailable, falling back to the database");
        break;
    case 1024:
        error.file = path("src/View/ProductView.php");
        error.line = 66;
        error.format = "Product %d has no image";
        error.numberArgument = static_cast<int>(context.product);
        break;
    case 2048:
        error.file = path("src/Model/Product.php");
        error.line = 14;
        error.message =
            QStringLiteral("Declaration of App\\Model\\Product::toArray() should be compatible "
                           "with App\\Model\\Model::toArray(array $fields = [])");
        backtrace = false;
        break;
    case 4096:
        error.file = twig;
        error.line = static_cast<int>(random.between(20, 400));
        error.message =
            QStringLiteral("Object of class App\\Model\\Money could not be converted to string");
        break;
    case 8192:
        error.file = path("src/View/Helper.php");
        error.line = 88;
        error.message = QStringLiteral("strftime(): Function strftime() is deprecated");
        backtrace = random.chance(0.5);
        break;
    case 16384:
        error.file = path("src/Cart.php");
        error.line = 51;
        error.format = "Method %s is deprecated, use App\\Cart::grandTotal() instead";
        error.textArgument = "App\\Cart::total()";
        break;
    }
    if (backtrace)
        error.frames = errorFrames(error.file, error.line, route);
    return error;
}

struct QueryFailure {
    int code;
    const char* message;
};

QueryFailure readFailure(Random& random, int statement) {
    if (statement == Images && random.chance(0.5))
        return {1146, "Table 'shop.images' doesn't exist"};
    if (statement == SearchProducts && random.chance(0.6))
        return {1064,
                "You have an error in your SQL syntax; check the manual that corresponds to your "
                "MariaDB server version for the right syntax to use near '-cotton' at line 1"};
    if (random.chance(0.5))
        return {1054, "Unknown column 'p.rating' in 'order clause'"};
    return {2006, "MySQL server has gone away"};
}

QueryFailure writeFailure(Random& random, int statement) {
    if (statement == AddToCart || statement == InsertOrderLine)
        return {1062, "Duplicate entry '1042-17' for key 'cart_product'"};
    if (random.chance(0.6))
        return {1213, "Deadlock found when trying to get lock; try restarting transaction"};
    return {1205, "Lock wait timeout exceeded; try restarting transaction"};
}

} // namespace

RequestGenerator::RequestGenerator(quint64 seed, const QList<Token>& valid,
                                   const QStringList& expired, double unauthorisedShare)
    : m_seed(seed), m_valid(valid), m_expired(expired), m_unauthorisedShare(unauthorisedShare) {}

QStringList RequestGenerator::browsers() {
    return {
        QStringLiteral("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                       "Gecko) Chrome/124.0.0.0 Safari/537.36"),
        QStringLiteral("Mozilla/5.0 (Macintosh; Intel Mac OS X 14_4_1) AppleWebKit/605.1.15 "
                       "(KHTML, like Gecko) Version/17.4.1 Safari/605.1.15"),
        QStringLiteral("Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0"),
        QStringLiteral("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                       "Gecko) Chrome/124.0.0.0 Safari/537.36 Edg/124.0.2478.80"),
        QStringLiteral(
            "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
            "like Gecko) Version/17.4 Mobile/15E148 Safari/604.1"),
        QStringLiteral("Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like "
                       "Gecko) Chrome/124.0.6367.82 Mobile Safari/537.36")};
}

QList<int> RequestGenerator::errorTypes() {
    return {8, 2, 8192, 1024, 512, 16384, 2048, 4096, 128, 32, 1, 256, 4, 16, 64};
}

namespace {

void addQueries(Random& random, SimulatedRequest& request, int route, const Context& context) {
    const RouteInfo& info = routes[route];
    const QList<int> steps = sequence(route, random);
    qint64 transaction = 0;
    qint64 transactions = 0;
    bool rolledBack = false;
    auto control = [&](const QString& text) {
        SimulatedQuery query;
        query.prepared = text;
        query.resolved = text;
        query.hasPrepared = false;
        query.time = random.between(30, 2000);
        query.transaction = transaction;
        query.frames = {
            QStringLiteral("#0 %1(120): PDO->%2()")
                .arg(path("src/Db/Connection.php"),
                     text == QLatin1String("COMMIT")     ? QStringLiteral("commit")
                     : text == QLatin1String("ROLLBACK") ? QStringLiteral("rollBack")
                                                         : QStringLiteral("beginTransaction")),
            QStringLiteral("#1 %1(%2): App\\Db\\Connection->transactional(Object(Closure))")
                .arg(path(info.file))
                .arg(info.line),
            QStringLiteral("#2 {main}")};
        query.file = path("src/Db/Connection.php");
        query.line = 120;
        request.queries << query;
    };
    for (int step : steps) {
        if (step == Begin) {
            transaction = ++transactions;
            rolledBack = false;
            control(QStringLiteral("START TRANSACTION"));
            continue;
        }
        if (step == Commit) {
            if (!rolledBack)
                control(QStringLiteral("COMMIT"));
            transaction = 0;
            continue;
        }
        if (rolledBack)
            continue;
        const Statement& statement = statements[step];
        SimulatedQuery query;
        query.prepared = QString::fromLatin1(statement.text);
        query.resolved = resolve(statement, random, context);
        query.hasPrepared = statement.prepared;
        query.rows = static_cast<int>(random.between(statement.minRows, statement.maxRows));
        query.time = random.skewed(statement.minTime, statement.maxTime);
        query.transaction = transaction;
        query.frames = queryFrames(statement, info, query.resolved);
        query.file = path(statement.file);
        query.line = statement.line;
        if (random.chance(0.05)) {
            const QueryFailure failure =
                statement.write ? writeFailure(random, step) : readFailure(random, step);
            query.status = failure.code;
            query.error = QString::fromLatin1(failure.message);
            query.rows = 0;
        }
        request.queries << query;
        if (query.status != 0 && transaction > 0) {
            control(QStringLiteral("ROLLBACK"));
            rolledBack = true;
        }
    }
}

void addErrors(Random& random, SimulatedRequest& request, int route, const Context& context) {
    const RouteInfo& info = routes[route];
    const int index = request.index;
    // Three requests in four raise errors. The first fifteen of them raise one of each
    // type in turn; later ones draw the types as often as a real site sees them.
    if (index % 4 != 1) {
        const int erroring = index - (index + 2) / 4;
        const QList<int> types = RequestGenerator::errorTypes();
        const int type =
            erroring < types.size() ? types.at(erroring) : weightedErrorType(random, true);
        request.errors << makeError(type, random, info, context);
        const int extra = static_cast<int>(random.between(0, 2));
        for (int i = 0; i < extra; ++i)
            request.errors << makeError(weightedErrorType(random, false), random, info, context);
    }
    for (SimulatedError& error : request.errors)
        error.afterQuery = random.below(request.queries.size() + 1);
    // A fatal error ends the script: it comes last, and nothing runs after it.
    for (int i = 0; i < request.errors.size(); ++i) {
        if (isFatal(request.errors.at(i).type)) {
            SimulatedError fatal = request.errors.takeAt(i);
            fatal.afterQuery = request.queries.size();
            request.errors << fatal;
            break;
        }
    }
}

void addCalls(Random& random, SimulatedRequest& request, int route) {
    const RouteInfo& info = routes[route];
    const qint64 total = request.requestTime;
    const qint64 db = request.databaseTime();
    auto call = [](const char* scope, const char* name, const QString& file, int line, int calls,
                   qint64 exclusive, qint64 inclusive) {
        SimulatedCall c;
        c.scope = scope;
        c.name = name;
        c.file = file.toUtf8();
        c.line = line;
        c.calls = calls;
        c.exclusive = exclusive;
        c.inclusive = qMax(inclusive, exclusive);
        return c;
    };
    const int queries = request.queries.size();
    request.calls << call("", "main", path("public/index.php"), 1, 1, total / 40, total);
    request.calls << call("App\\Kernel", "handle", path("src/Kernel.php"), 58, 1, total / 50,
                          total * 95 / 100);
    request.calls << call("App\\Router", "dispatch", path("src/Router.php"), 112, 1, total / 60,
                          total * 90 / 100);
    request.calls << call(info.controller, info.action, path(info.file), info.line, 1,
                          request.phpTime / 3, total * 80 / 100);
    request.calls << call("App\\Db\\Connection", "query", path("src/Db/Connection.php"), 77,
                          queries, db / 20, db);
    request.calls << call("PDOStatement", "execute", QString(), 0, queries, db * 9 / 10,
                          db * 9 / 10);
    request.calls << call("PDO", "prepare", QString(), 0, queries, db / 30, db / 30);
    struct Extra {
        const char* scope;
        const char* name;
        const char* file;
        int line;
        int maxCalls;
    };
    static const Extra extras[] = {
        {"Twig\\Environment", "render", "vendor/twig/twig/src/Environment.php", 358, 3},
        {"App\\View\\Helper", "money", "src/View/Helper.php", 41, 60},
        {"App\\Util", "slugify", "src/Util/functions.php", 12, 40},
        {"", "json_encode", "", 0, 8},
        {"", "array_map", "", 0, 120},
        {"", "htmlspecialchars", "", 0, 400},
        {"", "preg_match", "", 0, 90},
        {"Redis", "get", "", 0, 12},
        {"App\\Http\\SessionStore", "read", "src/Http/SessionStore.php", 44, 1},
        {"App\\Payment\\Gateway", "authorize", "src/Payment/Gateway.php", 120, 1},
        {"", "password_verify", "", 0, 1},
        {"", "curl_exec", "", 0, 2},
    };
    const int count = static_cast<int>(random.between(3, 8));
    QList<int> chosen;
    while (chosen.size() < count) {
        const int pick = random.below(static_cast<int>(sizeof(extras) / sizeof(extras[0])));
        // Payments happen at the checkout and passwords are checked at the login only.
        const QByteArray name = extras[pick].name;
        if ((name == "authorize" && route != Checkout) ||
            (name == "password_verify" && route != Login))
            continue;
        if (!chosen.contains(pick))
            chosen << pick;
    }
    for (int pick : chosen) {
        const Extra& extra = extras[pick];
        const int calls = static_cast<int>(random.between(1, extra.maxCalls));
        const qint64 perCall = random.skewed(2, 40);
        const qint64 exclusive = perCall * calls + random.skewed(0, request.phpTime / 4 + 1);
        request.calls << call(extra.scope, extra.name, extra.file[0] ? path(extra.file) : QString(),
                              extra.line, calls, exclusive,
                              exclusive + random.skewed(0, exclusive + 1));
    }
}

void addSamples(Random& random, SimulatedRequest& request, const QString& urlPath,
                const QString& query) {
    const QString address = QStringLiteral("203.0.113.%1").arg(random.between(1, 254));
    const QString session = random.hex(26);
    const qint64 now = 1714560000 + request.index;
    request.samples << SimulatedSample{
        "_SERVER",
        serialize({{QStringLiteral("REQUEST_METHOD"), request.method},
                   {QStringLiteral("REQUEST_URI"),
                    urlPath + (query.isEmpty() ? QString() : QLatin1Char('?') + query)},
                   {QStringLiteral("HTTP_HOST"), QUrl(request.url).host()},
                   {QStringLiteral("HTTP_USER_AGENT"), request.userAgent},
                   {QStringLiteral("REMOTE_ADDR"), address},
                   {QStringLiteral("REQUEST_TIME"), QString::number(now)}}),
        KTrel::SAMPLE_START};
    if (!query.isEmpty()) {
        QList<QPair<QString, QString>> entries;
        for (const QString& pair : query.split(QLatin1Char('&'))) {
            const int equals = pair.indexOf(QLatin1Char('='));
            entries << qMakePair(pair.left(equals),
                                 QUrl::fromPercentEncoding(pair.mid(equals + 1).toUtf8()));
        }
        request.samples << SimulatedSample{"_GET", serialize(entries), KTrel::SAMPLE_START};
    }
    if (request.method == QLatin1String("POST")) {
        request.samples << SimulatedSample{
            "_POST",
            serialize({{QStringLiteral("csrf_token"), random.hex(32)},
                       {QStringLiteral("product_id"), QString::number(random.between(1, 2400))},
                       {QStringLiteral("quantity"), QString::number(random.between(1, 5))}}),
            KTrel::SAMPLE_START};
    }
    request.samples << SimulatedSample{
        "_COOKIE",
        serialize({{QStringLiteral("PHPSESSID"), session},
                   {QStringLiteral("consent"), QStringLiteral("analytics=0")}}),
        KTrel::SAMPLE_START};
    request.samples << SimulatedSample{
        "_SESSION",
        serialize({{QStringLiteral("user_id"), QString::number(random.between(1, 50000))},
                   {QStringLiteral("cart_items"), QString::number(random.between(0, 6))},
                   {QStringLiteral("flash"),
                    request.status >= 400 ? QStringLiteral("Something went wrong") : QString()}}),
        KTrel::SAMPLE_END};
}

} // namespace

SimulatedRequest RequestGenerator::make(int index) const {
    Random random(m_seed, static_cast<quint64>(index));
    SimulatedRequest request;
    request.index = index;
    request.pageId = random.hex(16);

    // Who asks: a browser, with the site's token or (for the unauthorised share)
    // without a valid one.
    const Token& site = random.pick(m_valid);
    request.userAgent = random.pick(browsers());
    request.authorised = !random.chance(m_unauthorisedShare);
    if (request.authorised) {
        request.token = site.name;
    } else {
        const int variant = random.below(3);
        if (variant == 1 && !m_expired.isEmpty())
            request.token = random.pick(m_expired);
        else if (variant != 0)
            request.token = QStringLiteral("tok-") + random.hex(12);
    }

    const int route = weightedRoute(random);
    const RouteInfo& info = routes[route];
    Context context{random.between(1, 2400),  random.between(1000, 99999),
                    random.between(1, 50000), random.between(100000, 999999),
                    random.hex(32),           random.pick(categories),
                    random.pick(posts),       random.pick(words)};

    QString pathText;
    QString query;
    switch (route) {
    case Home:
        pathText = QStringLiteral("/");
        break;
    case ProductList: {
        static const QStringList sorts = {QStringLiteral("price"), QStringLiteral("name"),
                                          QStringLiteral("new")};
        pathText = QStringLiteral("/products");
        query =
            QStringLiteral("page=%1&sort=%2").arg(random.between(1, 12)).arg(random.pick(sorts));
        break;
    }
    case Product:
        pathText = QStringLiteral("/products/%1").arg(context.product);
        break;
    case Category:
        pathText = QStringLiteral("/category/%1").arg(context.category);
        break;
    case Search:
        pathText = QStringLiteral("/search");
        query = QStringLiteral("q=") + QString::fromLatin1(QUrl::toPercentEncoding(context.search));
        break;
    case Cart:
        pathText = QStringLiteral("/cart");
        break;
    case CartAdd:
        pathText = QStringLiteral("/cart/add");
        break;
    case Checkout:
        pathText = QStringLiteral("/checkout");
        break;
    case Orders:
        pathText = QStringLiteral("/account/orders/%1").arg(context.order);
        break;
    case ApiProduct:
        pathText = QStringLiteral("/api/v1/products/%1").arg(context.product);
        break;
    case ApiEvents:
        pathText = QStringLiteral("/api/v1/events");
        break;
    case Blog:
        pathText = QStringLiteral("/blog/%1").arg(context.post);
        break;
    case AdminReport:
        pathText = QStringLiteral("/admin/reports/sales");
        query =
            QStringLiteral("from=2024-%1-01").arg(random.between(1, 12), 2, 10, QLatin1Char('0'));
        break;
    case Login:
        pathText = QStringLiteral("/login");
        break;
    }

    QUrl base(site.baseUrl.isEmpty() ? QStringLiteral("https://shop.example") : site.baseUrl);
    QString basePath = base.path();
    while (basePath.endsWith(QLatin1Char('/')))
        basePath.chop(1);
    QUrl url;
    url.setScheme(base.scheme().isEmpty() ? QStringLiteral("https") : base.scheme());
    url.setHost(base.host());
    url.setPort(base.port());
    url.setPath(basePath + pathText);
    request.url = url.toString() + (query.isEmpty() ? QString() : QLatin1Char('?') + query);
    request.method = QString::fromLatin1(info.method);
    request.status = info.status;
    request.primaryPage = info.primary;
    request.memoryLimit = 128LL * 1024 * 1024;
    const qint64 megabytes = random.between(2, 48);
    request.peakMemory = megabytes * 1024 * 1024 + random.between(0, 1023) * 1024;

    // A product or post that is not there.
    const bool notFound =
        (route == Product || route == ApiProduct || route == Blog) && random.chance(0.05);
    if (notFound)
        request.status = 404;

    addQueries(random, request, route, context);
    if (notFound && request.queries.size() > 3)
        request.queries = request.queries.mid(0, 3);
    addErrors(random, request, route, context);
    for (SimulatedError& error : request.errors) {
        if (isFatal(error.type)) {
            request.status = 500;
            if (error.type == 1)
                request.peakMemory = request.memoryLimit;
        }
    }

    // Time outside the database: outbound calls, local work and PHP itself.
    if (route == Search)
        request.networkCalls << random.skewed(5000, 90000);
    if (route == Checkout)
        request.networkCalls << random.skewed(80000, 900000);
    if (random.chance(0.3)) {
        const int roundTrips = static_cast<int>(random.between(2, 6));
        for (int i = 0; i < roundTrips; ++i)
            request.networkCalls << random.between(100, 800);
    }
    const int localParts = static_cast<int>(random.between(1, 3));
    for (int i = 0; i < localParts; ++i)
        request.localWork << random.skewed(200, 15000);
    request.phpTime = random.skewed(1500, 60000);
    if (route == AdminReport)
        request.phpTime += random.between(50000, 300000);
    request.otherTime = random.between(0, 500);
    qint64 total = request.databaseTime() + request.phpTime;
    for (qint64 part : request.networkCalls)
        total += part;
    for (qint64 part : request.localWork)
        total += part;
    request.requestTime = total;

    addCalls(random, request, route);

    // Monitor events, some reported more than once as the host does.
    request.events << QByteArray("route.") + QByteArray(info.controller).split('\\').last() +
                          "::" + info.action;
    for (const SimulatedQuery& q : request.queries) {
        if (q.time > 100000)
            request.events << "db.slow_query";
        if (q.status != 0)
            request.events << "db.query_error:" + QByteArray::number(q.status);
    }
    if (route == Checkout)
        request.events << (request.status == 500 ? "payment.declined" : "payment.authorized");
    if (route == Search)
        request.events << "http.outbound:search";
    if (random.chance(0.2))
        request.events << "cache.miss:product:" + QByteArray::number(context.product);
    if (request.status >= 500)
        request.events << "php.fatal";

    addSamples(random, request, url.path(), query);
    return request;
}
