#include "common/db/cppsqlite3db.h"

#include <fcntl.h>

#include <memory>
#include <utility>

#include "common/db/cppsqlite3internal.h"

namespace {

struct FinalizeVM {
  void operator()(sqlite3_stmt* vm) const { sqlite3_finalize(vm); }
};
using VMHolder = std::unique_ptr<sqlite3_stmt, FinalizeVM>;

// A statement of one execution: taken from the connection's cache or prepared, and
// given back to that cache when the execution is done with it (finalized when there
// is none). release() hands it on to a query.
class ExecutionVM {
 public:
  ExecutionVM(std::shared_ptr<CppSQLite3StatementCache> cache, const std::string& sql)
      : m_cache(std::move(cache)), m_sql(sql), m_vm(m_cache ? m_cache->Take(sql) : nullptr) {}
  ~ExecutionVM() {
    if (!m_vm) return;
    if (m_cache) {
      m_cache->Give(m_sql, m_vm);
    } else {
      sqlite3_finalize(m_vm);
    }
  }
  ExecutionVM(const ExecutionVM&) = delete;
  ExecutionVM& operator=(const ExecutionVM&) = delete;

  // True when the statement came from the cache (its text was checked when prepared).
  bool Cached() const { return m_vm != nullptr; }
  void Set(sqlite3_stmt* vm) { m_vm = vm; }
  sqlite3_stmt* get() const { return m_vm; }
  sqlite3_stmt* release() { return std::exchange(m_vm, nullptr); }
  const std::shared_ptr<CppSQLite3StatementCache>& Cache() const { return m_cache; }

 private:
  std::shared_ptr<CppSQLite3StatementCache> m_cache;
  const std::string& m_sql;
  sqlite3_stmt* m_vm;
};

// Files the engine keeps for itself are private: create a missing data-base file 0600
// before SQLite opens it (its journal files take the same mode).
void CreatePrivateFile(FileEnv* env, const std::string& file) {
  if (file.empty() || file == ":memory:") return;
  int fd = env->Open(file, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd >= 0) env->Close(fd);
}

// The caller's pause lock, and after each pause the check that the execution's
// connection is still the object's.
class ConnectionPauseLock final : public BusyPauseLock {
 public:
  ConnectionPauseLock(BusyPauseLock* caller, sqlite3* const* current)
      : m_caller(caller), m_current(current), m_db(*current) {}
  BusyPauseLock* get() { return m_caller ? this : nullptr; }
  void Unlock() override { m_caller->Unlock(); }
  void Relock() override {
    m_caller->Relock();
    if (*m_current != m_db) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open");
  }

 private:
  BusyPauseLock* m_caller;
  sqlite3* const* m_current;
  sqlite3* m_db;
};

}  // namespace

CppSQLite3DB::CppSQLite3DB(FileEnv* env) : m_env(env) {}

CppSQLite3DB::~CppSQLite3DB() { close(); }

void CppSQLite3DB::checkDB() const {
  if (!mpDB) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Database not open");
}

void CppSQLite3DB::open(const std::string& file) {
  close();
  if (!sqlite3_threadsafe()) throw CppSQLite3Exception(CPPSQLITE_ERROR, "SQLite library is not thread-safe");
  CreatePrivateFile(m_env, file);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw CppSQLite3Exception(rc, message.c_str());
  }
  mpDB = db;
  sqlite3_busy_handler(mpDB, &CppSQLite3DB::BusyHandler, this);
  m_statements = std::make_shared<CppSQLite3StatementCache>();
}

void CppSQLite3DB::close() {
  if (!mpDB) return;
  // Statements that outlive the connection must not call back into this object.
  sqlite3_busy_handler(mpDB, nullptr, nullptr);
  if (m_statements) m_statements->Close();
  m_statements.reset();
  sqlite3_close_v2(mpDB);
  mpDB = nullptr;
}

bool CppSQLite3DB::isAutoCommit() const { return !mpDB || sqlite3_get_autocommit(mpDB) != 0; }

void CppSQLite3DB::setBusyTimeout(int ms) { m_busyPolicy.maxWait = std::chrono::milliseconds(ms); }

int CppSQLite3DB::BusyHandler(void* context, int count) {
  auto* self = static_cast<CppSQLite3DB*>(context);
  return CppSQLite3BusyScope::OnBusy(self->mpDB, self->m_busyPolicy, count) ? 1 : 0;
}

bool CppSQLite3DB::tableExists(const std::string& table) {
  CppSQLite3Query q = execQuery("select count(*) from sqlite_master where type='table' and name=?", {table});
  return !q.eof() && q.getIntField(0) > 0;
}

int CppSQLite3DB::execDML(const std::string& sql, const CppSQLite3Params& params, BusyPauseLock* pauseLock) {
  checkDB();
  ConnectionPauseLock pause(pauseLock, &mpDB);
  CppSQLite3BusyScope scope(mpDB, m_busyPolicy, "CppSQLite3DB::execDML()...sqlite3_exec() SQLString:", sql.c_str());
  ExecutionVM vm(m_statements, sql);
  if (!vm.Cached()) {
    const char* tail = nullptr;
    VMHolder prepared(CppSQLite3Prepare(mpDB, sql.c_str(), static_cast<int>(sql.size() + 1), &tail));
    if (tail && *tail) {
      VMHolder next(CppSQLite3Prepare(mpDB, tail, -1, nullptr));
      if (next) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Only one statement may be executed at a time");
    }
    if (!prepared) return 0;  // nothing but white space and comments
    vm.Set(prepared.release());
  }
  CppSQLite3BindAll(vm.get(), params);
  std::string message;
  int changes = 0;
  int rc = scope.Step(vm.get(), true, &message, &changes, pause.get());
  // Rows (of a PRAGMA, say) are passed over; only the first step is ever re-run.
  while (rc == SQLITE_ROW) rc = scope.Step(vm.get(), false, &message, &changes);
  if (rc != SQLITE_DONE) throw CppSQLite3Exception(rc, message.c_str());
  return changes;
}

CppSQLite3Query CppSQLite3DB::execQuery(const std::string& sql, const CppSQLite3Params& params,
                                        BusyPauseLock* pauseLock) {
  checkDB();
  ConnectionPauseLock pause(pauseLock, &mpDB);
  CppSQLite3BusyScope scope(mpDB, m_busyPolicy, "CppSQLite3DB::execQuery()...sqlite3_step() SQLString:", sql.c_str());
  ExecutionVM vm(m_statements, sql);
  if (!vm.Cached()) {
    vm.Set(CppSQLite3Prepare(mpDB, sql.c_str(), static_cast<int>(sql.size() + 1), nullptr));
    if (!vm.get()) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
  }
  CppSQLite3BindAll(vm.get(), params);
  std::string message;
  int rc = scope.Step(vm.get(), true, &message, nullptr, pause.get());
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
    std::shared_ptr<CppSQLite3StatementCache> cache = vm.Cache();
    return CppSQLite3Query(mpDB, vm.release(), rc == SQLITE_DONE, m_busyPolicy, std::move(cache), sql);
  }
  throw CppSQLite3Exception(rc, message.c_str());
}

int CppSQLite3DB::execScalar(const std::string& sql) {
  CppSQLite3Query q = execQuery(sql);
  if (q.eof() || q.numFields() < 1) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid scalar query");
  return q.getIntField(0);
}

CppSQLite3Table CppSQLite3DB::getTable(const std::string& sql) {
  checkDB();
  CppSQLite3BusyScope scope(mpDB, m_busyPolicy, "CppSQLite3DB::getTable()...sqlite3_get_table() SQLString:",
                            sql.c_str());
  char** results = nullptr;
  int rows = 0, cols = 0;
  char* message = nullptr;
  int rc = sqlite3_get_table(mpDB, sql.c_str(), &results, &rows, &cols, &message);
  if (rc != SQLITE_OK) {
    sqlite3_free_table(results);
    throw CppSQLite3Exception(rc, message, true);
  }
  return CppSQLite3Table(results, rows, cols);
}

CppSQLite3Statement CppSQLite3DB::compileStatement(const std::string& sql) {
  checkDB();
  CppSQLite3BusyScope scope(mpDB, m_busyPolicy, "CppSQLite3DB::compileStatement()...sqlite3_prepare_v2() SQLString:",
                            sql.c_str());
  sqlite3_stmt* vm = CppSQLite3Prepare(mpDB, sql.c_str(), static_cast<int>(sql.size() + 1), nullptr);
  if (!vm) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
  return CppSQLite3Statement(mpDB, vm, m_busyPolicy);
}
