#include "sqlcapture.h"

#include "mysqlicapture.h"
#include "pdocapture.h"
#include "sqlite3capture.h"
#include "sqlstatements.h"

void SqlCapture::watch() {
    PdoCapture::watch();
    MysqliCapture::watch();
    Sqlite3Capture::watch();
}

void SqlCapture::startRequest() {
    SqlStatements::startRequest();
}

void SqlCapture::endRequest() {
    SqlStatements::endRequest();
}

qint64 SqlCapture::databaseTime() {
    return SqlStatements::databaseTime();
}
