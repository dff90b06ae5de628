#ifndef TREL_SQLSCRIPT_H
#define TREL_SQLSCRIPT_H

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// Runs the installation's schema files through Qt, one statement at a time.
class SqlScript {
public:
    // Splits a script into statements: they end with ';' at the end of a line, or with
    // the delimiter set by a "DELIMITER x" line (as the mariadb client reads it). A
    // statement that begins with CREATE TRIGGER ends only at a line "END;" (as SQLite's
    // shell reads it). Lines that start with "--" are comments.
    static QStringList split(const QString& script);

    // Runs every statement of the file in order. Returns false with the failing
    // statement and the database's error text in *error.
    static bool apply(QSqlDatabase& database, const QString& path, QString* error);

    // The installed schema file for "sqlite" or "mysql": $TREL_SCHEMA_DIR, then the
    // installed share folder, then the source tree.
    static QString schemaFile(const QString& kind);
};

#endif
