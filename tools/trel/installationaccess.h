#ifndef TREL_TOOL_INSTALLATIONACCESS_H
#define TREL_TOOL_INSTALLATIONACCESS_H

#include <kolv/kolvserverinfo.h>

#include <QMap>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>

// An existing installation, checked and opened with a connection of the program's own
// (not the library's): its settings load, its templates and database are there, the
// database server answers and holds every table. Anything missing is a ToolError that
// says what to do, raised before any command writes.
class ToolError;

class InstallationAccess {
public:
    // `root` as the user gave it; messages show it that way.
    explicit InstallationAccess(const QString& root);
    ~InstallationAccess();
    InstallationAccess(const InstallationAccess&) = delete;
    InstallationAccess& operator=(const InstallationAccess&) = delete;

    // The absolute root, as the library is given it.
    const QString& root() const { return m_root; }
    const QString& shownRoot() const { return m_shownRoot; }
    // The settings with the root set, ready for KTrel::initialize.
    const KolvServerInfo& settings() const { return m_settings; }
    bool isMySql() const { return m_settings.isMySQL(); }
    // "SQLite" or "MariaDB/MySQL".
    QString backendName() const;
    QSqlDatabase& db() { return m_db; }

    // Begins the transaction of a change that running PHP workers read only once (the
    // tokens, the user-agent patterns); markChanged() commits it.
    void beginChange();
    // Tells running PHP workers to read the installation again: on MariaDB/MySQL it
    // raises the installation's generation (seen by the workers of every web server
    // sharing the database) in the transaction of beginChange() and commits it, then it
    // writes the change stamp (seen by this server's workers). `change` names the
    // command. A failure to raise the generation rolls the change back; a database
    // that lacks the generation's table, or a stamp that cannot be written, is a
    // ToolError saying that the change was made all the same.
    void markChanged(const QString& change);
    // Runs a statement with positional binds; a failure is a ToolError naming `what`
    // ("reading the requests").
    QSqlQuery run(const QString& what, const QString& sql, const QVariantList& binds = {});
    // Rows of every table of the installation, by table name.
    QMap<QString, qint64> rowCounts();
    // The space the database takes: the SQLite file with its write-ahead log, or what
    // the server reports for the installation's tables.
    qint64 databaseSize();
    QString databaseSizeNote() const;

    // What the schema holds beyond the tables that an installation made by an older trel
    // may lack (the indexes the views look up by, the owners of the requests), as
    // "index trel_requests_page"; empty when nothing is missing. `trel init` adds them.
    QStringList missingParts();
    // Applies the installation's schema file again: what is missing is added, nothing
    // that is there changes. A ToolError on failure.
    void addMissingParts();

    // Every table an installation holds, in the order they are listed.
    static QStringList tables();
    // The absolute, clean form of a root argument.
    static QString absoluteRoot(const QString& root);
    // Opens a connection on a MySQL server with the program's own timeouts.
    static bool openMySql(QSqlDatabase& db, const KolvServerInfo& info, QString* error);
    // "cannot connect to the MySQL server at HOST:PORT (database D, user U): ERROR".
    static QString connectFailure(const KolvServerInfo& info, const QString& error);

private:
    void loadSettings();
    void checkFiles();
    void openDatabase();
    void checkTables();
    ToolError incomplete(const QString& what) const;

    QString m_shownRoot;
    QString m_root;
    KolvServerInfo m_settings;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_inChange = false;
};

#endif
