#include "common/db/cppsqlite3statement.h"

#include <utility>

#include "common/db/cppsqlite3internal.h"

CppSQLite3Statement::CppSQLite3Statement() = default;

CppSQLite3Statement::CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm, const BusyPolicy& policy)
    : mpDB(db), mpVM(vm), m_policy(policy) {}

CppSQLite3Statement::CppSQLite3Statement(CppSQLite3Statement&& other) noexcept
    : mpDB(std::exchange(other.mpDB, nullptr)), mpVM(std::exchange(other.mpVM, nullptr)), m_policy(other.m_policy) {}

CppSQLite3Statement& CppSQLite3Statement::operator=(CppSQLite3Statement&& other) noexcept {
  if (this != &other) {
    if (mpVM) sqlite3_finalize(mpVM);
    mpDB = std::exchange(other.mpDB, nullptr);
    mpVM = std::exchange(other.mpVM, nullptr);
    m_policy = other.m_policy;
  }
  return *this;
}

CppSQLite3Statement::~CppSQLite3Statement() {
  if (mpVM) sqlite3_finalize(mpVM);
}

void CppSQLite3Statement::checkDB() const {
  if (!mpDB) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open");
}

void CppSQLite3Statement::checkVM() const {
  if (!mpVM) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

int CppSQLite3Statement::execDML() {
  checkDB();
  checkVM();
  std::string message;
  int changes = 0;
  int rc;
  {
    CppSQLite3BusyScope scope(mpDB, m_policy, "CppSQLite3Statement::execDML()...sqlite3_step(mpVM)", nullptr);
    rc = scope.Step(mpVM, true, &message, &changes);
  }
  if (rc == SQLITE_DONE) {
    rc = sqlite3_reset(mpVM);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, CppSQLite3ErrorMessage(mpDB).c_str());
    return changes;
  }
  sqlite3_reset(mpVM);
  throw CppSQLite3Exception(rc, message.c_str());
}

CppSQLite3Query CppSQLite3Statement::execQuery() {
  checkDB();
  checkVM();
  std::string message;
  int rc;
  {
    CppSQLite3BusyScope scope(mpDB, m_policy, "CppSQLite3Statement::execQuery()...sqlite3_step(mpVM)", nullptr);
    rc = scope.Step(mpVM, true, &message);
  }
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) return CppSQLite3Query(mpDB, mpVM, rc == SQLITE_DONE, false, m_policy);
  sqlite3_reset(mpVM);
  throw CppSQLite3Exception(rc, message.c_str());
}

void CppSQLite3Statement::bind(int param, const char* value) {
  checkVM();
  int rc = sqlite3_bind_text(mpVM, param, value, -1, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding string param");
}

void CppSQLite3Statement::bind(int param, const std::string& value) {
  checkVM();
  int rc = sqlite3_bind_text64(mpVM, param, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding string param");
}

void CppSQLite3Statement::bind(int param, int value) {
  checkVM();
  int rc = sqlite3_bind_int(mpVM, param, value);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding int param");
}

void CppSQLite3Statement::bind(int param, int64_t value) {
  checkVM();
  int rc = sqlite3_bind_int64(mpVM, param, value);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding int param");
}

void CppSQLite3Statement::bind(int param, double value) {
  checkVM();
  int rc = sqlite3_bind_double(mpVM, param, value);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding double param");
}

void CppSQLite3Statement::bind(int param, const unsigned char* blob, int bytes) {
  checkVM();
  int rc = sqlite3_bind_blob(mpVM, param, blob, bytes, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding blob param");
}

void CppSQLite3Statement::bindNull(int param) {
  checkVM();
  int rc = sqlite3_bind_null(mpVM, param);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding NULL param");
}

void CppSQLite3Statement::bindAll(const CppSQLite3Params& params) {
  checkVM();
  CppSQLite3BindAll(mpVM, params);
}

void CppSQLite3Statement::reset() {
  checkVM();
  int rc = sqlite3_reset(mpVM);
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, CppSQLite3ErrorMessage(mpDB).c_str());
}

void CppSQLite3Statement::finalize() {
  checkVM();
  int rc = sqlite3_finalize(mpVM);
  mpVM = nullptr;
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errstr(rc));
}
