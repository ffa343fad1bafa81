#include "common/db/db.h"

#include <strings.h>

#include "common/checks.h"
#include "common/log.h"
#include "common/strformat.h"
#include "platform/clock.h"

// A logged assertion whose text names the Part's argument, not our expression.
#define DB_ASSERT(cond, text)                                   \
  do {                                                          \
    if (!(cond)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: " text); \
  } while (0)

void LogDBException(const char* source, const CppSQLite3Exception& e, const std::string& sql) {
  OSTREL_LOG(kLogError, "Src:%s -- %s -- SQL:%s", source, e.errorMessage(), sql.c_str());
}

HRESULT DBResultFromException(const CppSQLite3Exception& e) {
  return e.errorCode() == SQLITE_FULL ? E_CV_DB_FULL : E_CV_DB_ERROR;
}

std::string EscapeSqlString(const std::string& value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out;
}

class CDB::PauseUnlock final : public BusyPauseLock {
 public:
  // Before the operation takes the lock.
  explicit PauseUnlock(CDB& db) : m_db(db), m_mayLetGo(db.m_spLock->HeldLevels() == 0) {}
  void Unlock() override {
    // Every level the thread holds is the operation's own.
    m_levels = m_mayLetGo && !m_db.InTransaction() ? m_db.m_spLock->HeldLevels() : 0;
    for (int i = 0; i < m_levels; ++i) m_db.m_spLock->unlock();
  }
  void Relock() override {
    for (int i = 0; i < m_levels; ++i) m_db.m_spLock->lock();
  }

 private:
  CDB& m_db;
  const bool m_mayLetGo;
  int m_levels = 0;
};

CDB::CDB(FileEnv* env) : CppSQLite3DB(env), m_spLock(std::make_shared<CDBLock>()) {
  OSTREL_LOG(kLogInfo, "%s", "CDB::CDB");
}

CDB::~CDB() {
  std::lock_guard<CDBLock> guard(*m_spLock);
  close();
}

HRESULT CDB::Init(const std::string& dbPath) {
  HRESULT hr = E_FAIL;
  std::lock_guard<CDBLock> guard(*m_spLock);
  RollbackTransaction();
  try {
    open(dbPath);
    hr = S_OK;
  } catch (const CppSQLite3Exception& e) {
    ASSERT(!L"CDB::Init throw Exception!");
    LogDBException("CDB::Init", e, std::string());
  } catch (...) {
    ASSERT(!L"CDB::Init throw Exception!");
  }
  return hr;
}

HRESULT CDB::UnInit() {
  std::lock_guard<CDBLock> guard(*m_spLock);
  RollbackTransaction();
  close();
  return S_OK;
}

HRESULT CDB::ExecOnce(const std::string& sql, const DBParams& params, BusyPauseLock* pause) {
  DB_ASSERT(!sql.empty(), "szSQL");
  if (sql.find("(null)") != std::string::npos)
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: wcsstr(szSQL, L\"(null)\") == 0");
  std::lock_guard<CDBLock> guard(*m_spLock);
  try {
    CppSQLite3DB::execDML(sql, params, pause);
    return S_OK;
  } catch (const CppSQLite3Exception& e) {
    ASSERT(!L"CDB::execDML throw Exception!");
    LogDBException("CDB::execDML", e, sql);
    return DBResultFromException(e);
  } catch (...) {
    ASSERT(!L"execDML Failed!");
    OSTREL_LOG(kLogError, "execDML Failed:%s", sql.c_str());
    return E_FAIL;
  }
}

void CDB::RollbackAfterFailure(HRESULT failure) {
  // Called under the data-base lock. SQLite may have ended the transaction itself.
  if (OwnsTransaction() && SUCCEEDED(m_txnFailure)) m_txnFailure = failure;
  if (!InTransaction()) {
    OSTREL_LOG(kLogWarn, "%s", "Sql Execute Failed, Transaction Ended By SQLite!");
    return;
  }
  HRESULT hr = ExecOnce("ROLLBACK TRANSACTION;", {});
  OSTREL_LOG(kLogWarn, "Sql Execute Failed, Transaction Rolled Back! hr = %x", static_cast<unsigned>(hr));
}

bool CDB::RefusedAfterFailure(const std::string& sql, HRESULT* hr) {
  if (!OwnsTransaction() || SUCCEEDED(m_txnFailure)) return false;
  OSTREL_LOG(kLogError, "Src:%s -- %s -- SQL:%s", "CDB::execDML", "not run: the transaction was rolled back",
             sql.c_str());
  *hr = m_txnFailure;
  return true;
}

void CDB::EndTransaction() {
  // Nothing of the transaction may stay open for another thread's statements to join.
  if (InTransaction()) CHECK_COM(ExecOnce("ROLLBACK TRANSACTION;", {}));
  m_txnOwner.store(std::thread::id());
  m_txnDepth = 0;
  m_txnFailure = S_OK;
  m_spLock->unlock();  // the level BeginTransaction kept
}

HRESULT CDB::execDML(const std::string& sql, const DBParams& params) {
  PauseUnlock pause(*this);
  std::lock_guard<CDBLock> guard(*m_spLock);
  HRESULT hr = S_OK;
  if (RefusedAfterFailure(sql, &hr)) return hr;
  bool inTransaction = InTransaction();
  hr = ExecOnce(sql, params, &pause);
  if (FAILED(hr) && inTransaction) RollbackAfterFailure(hr);
  return hr;
}

HRESULT CDB::ExecWithRetry(const std::string& sql, const DBParams& params, bool rollbackOnFailure) {
  PauseUnlock pause(*this);
  bool inTransaction;
  HRESULT hr = S_OK;
  {
    std::lock_guard<CDBLock> guard(*m_spLock);
    if (RefusedAfterFailure(sql, &hr)) return hr;
    inTransaction = InTransaction();
    hr = ExecOnce(sql, params, &pause);
    if (SUCCEEDED(hr)) return hr;
    if (inTransaction && !InTransaction()) {
      // SQLite rolled the transaction back: running the statement again would run it
      // outside the transaction it belongs to.
      if (rollbackOnFailure) RollbackAfterFailure(hr);
      return hr;
    }
  }
  // The pause holds none of this layer's locks, but for the one a transaction or an
  // outer Lock() of the calling thread keeps (other threads wait for its end anyway).
  Clock* clock = busyPolicy().clock ? busyPolicy().clock : Clock::System();
  clock->SleepFor(m_retryPause);
  std::lock_guard<CDBLock> guard(*m_spLock);
  hr = ExecOnce(sql, params, &pause);
  if (SUCCEEDED(hr)) {
    OSTREL_LOG(kLogWarn, "%s", "Sql Execute Failed And Retry Succeeded!");
    return hr;
  }
  if (inTransaction && rollbackOnFailure) RollbackAfterFailure(hr);
  return hr;
}

HRESULT CDB::ExecDMLRetry(const std::string& sql, const DBParams& params) {
  return ExecWithRetry(sql, params, true);
}

HRESULT CDB::execQuery(const std::string& sql, CDBQueryHelper& out, const DBParams& params) {
  if (sql.find("(null)") != std::string::npos)
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: wcsstr(szSQL, L\"(null)\") == 0");
  out = CDBQueryHelper();  // its old statement goes under its own lock, not under ours
  PauseUnlock pause(*this);
  std::lock_guard<CDBLock> guard(*m_spLock);
  try {
    out.Attach(CppSQLite3DB::execQuery(sql, params, &pause), m_spLock);
    return S_OK;
  } catch (const CppSQLite3Exception& e) {
    ASSERT(!L"CDB::execQuery throw Exception!");
    LogDBException("CDB::execQuery", e, sql);
    return DBResultFromException(e);
  } catch (...) {
    ASSERT(!L"execQuery Failed!");
    OSTREL_LOG(kLogError, "execQuery Failed:%s", sql.c_str());
    return E_FAIL;
  }
}

HRESULT CDB::tableExists(const std::string& table, bool* pExists) {
  std::lock_guard<CDBLock> guard(*m_spLock);
  try {
    *pExists = CppSQLite3DB::tableExists(table);
    return S_OK;
  } catch (const CppSQLite3Exception& e) {
    ASSERT(!L"CDB::tableExists throw Exception!");
    LogDBException("CDB::tableExists", e, std::string());
    return DBResultFromException(e);
  } catch (...) {
    ASSERT(!L"CDB::tableExists throw Exception!");
    return E_FAIL;
  }
}

HRESULT CDB::BeginTransaction() {
  if (OwnsTransaction()) {
    ++m_txnDepth;
    return S_OK;
  }
  PauseUnlock pause(*this);
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) {
      // The pause holds none of this layer's locks, but for an outer Lock() of the
      // calling thread.
      Clock* clock = busyPolicy().clock ? busyPolicy().clock : Clock::System();
      clock->SleepFor(m_retryPause);
    }
    m_spLock->lock();
    hr = ExecOnce("BEGIN IMMEDIATE TRANSACTION;", {}, &pause);
    if (SUCCEEDED(hr)) {
      if (attempt > 0) OSTREL_LOG(kLogWarn, "%s", "Sql Execute Failed And Retry Succeeded!");
      // The level taken above is kept until the transaction ends.
      m_txnOwner.store(std::this_thread::get_id());
      m_txnDepth = 1;
      m_txnFailure = S_OK;
      return hr;
    }
    m_spLock->unlock();
  }
  return hr;
}

HRESULT CDB::CommitTransaction() {
  if (!OwnsTransaction()) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: CDB::CommitTransaction without BeginTransaction");
    return E_FAIL;
  }
  if (--m_txnDepth > 0) return m_txnFailure;
  HRESULT hr = m_txnFailure;
  if (SUCCEEDED(hr)) hr = ExecWithRetry("COMMIT TRANSACTION;", {}, true);
  EndTransaction();
  return hr;
}

HRESULT CDB::RollbackTransaction() {
  if (!OwnsTransaction()) return S_FALSE;
  HRESULT hr = InTransaction() ? ExecOnce("ROLLBACK TRANSACTION;", {}) : S_OK;
  EndTransaction();
  return hr;
}

HRESULT CDB::CreateTable(const std::string& table, const std::string& columns) {
  return ExecDMLRetry(StringFormat("CREATE TABLE %s (%s)", table.c_str(), columns.c_str()));
}

HRESULT CDB::SelectWhere(const std::string& table, CDBQueryHelper& out, const std::string& condition,
                         const std::string& tail, const DBParams& params) {
  DB_ASSERT(!table.empty(), "szTableName");
  return execQuery(StringFormat("SELECT * FROM %s WHERE %s %s", table.c_str(), condition.c_str(), tail.c_str()),
                   out, params);
}

HRESULT CDB::InsertRow(const std::string& table, const std::string& fields, const std::string& values,
                       const DBParams& params) {
  DB_ASSERT(!table.empty() && !fields.empty() && !values.empty(), "szTableName && szFields && szValues");
  return ExecDMLRetry(StringFormat("INSERT INTO %s (%s) VALUES (%s)", table.c_str(), fields.c_str(), values.c_str()),
                      params);
}

HRESULT CDB::UpdateRows(const std::string& table, const std::string& fieldsAndValues, const std::string& condition,
                        const DBParams& params) {
  DB_ASSERT(!table.empty() && !fieldsAndValues.empty() && !condition.empty(),
            "szTableName && szFieldsAndValues && szCondition");
  return ExecDMLRetry(
      StringFormat("UPDATE %s SET %s WHERE %s", table.c_str(), fieldsAndValues.c_str(), condition.c_str()), params);
}

HRESULT CDB::DeleteRows(const std::string& table, const std::string& condition, const DBParams& params) {
  DB_ASSERT(!table.empty(), "szTableName");
  if (condition.empty()) return ExecDMLRetry(StringFormat("DELETE FROM %s", table.c_str()), params);
  return ExecDMLRetry(StringFormat("DELETE FROM %s WHERE %s", table.c_str(), condition.c_str()), params);
}

HRESULT CDB::DeleteById(const std::string& table, int64_t id) {
  return DeleteRows(table, StringFormat("id = %lld", static_cast<long long>(id)));
}

HRESULT CDB::ColumnExists(const std::string& table, const std::string& column, bool* pExists) {
  *pExists = false;
  CDBQueryHelper rows;
  HRESULT hr = execQuery(StringFormat("PRAGMA table_info(%s)", table.c_str()), rows);
  if (FAILED(hr)) return hr;
  for (;;) {
    bool end = true;
    hr = rows.eof(&end);
    if (FAILED(hr)) return hr;
    if (end) return S_OK;
    std::string name;
    hr = rows.getStringField(1, &name, std::string());
    if (FAILED(hr)) return hr;
    if (strcasecmp(name.c_str(), column.c_str()) == 0) {
      *pExists = true;
      return S_OK;
    }
    hr = rows.nextRow();
    if (FAILED(hr)) return hr;
  }
}

HRESULT CDB::AddColumn(const std::string& table, const std::string& field, const std::string& type,
                       const std::string& defaultValue) {
  DB_ASSERT(!table.empty() && !field.empty() && !type.empty() && !defaultValue.empty(),
            "szTableName && szField && szType && szDefault");
  bool exists = false;
  HRESULT hr = ColumnExists(table, field, &exists);
  if (FAILED(hr)) return hr;
  if (exists) return S_FALSE;
  return ExecDMLRetry(StringFormat("ALTER table %s add %s %s default %s", table.c_str(), field.c_str(), type.c_str(),
                                   defaultValue.c_str()));
}
