#include "common/db/cppsqlite3internal.h"

#include <algorithm>
#include <type_traits>

#include "common/db/cppsqlite3exception.h"
#include "common/log.h"

namespace {

thread_local CppSQLite3BusyScope* t_top = nullptr;

// Re-runs of one busy step at most (counts 0 to 128).
constexpr int kMaxReRunCount = 128;

class DbMutexGuard {
 public:
  explicit DbMutexGuard(sqlite3* db) : m_mutex(sqlite3_db_mutex(db)) { sqlite3_mutex_enter(m_mutex); }
  ~DbMutexGuard() { sqlite3_mutex_leave(m_mutex); }
  DbMutexGuard(const DbMutexGuard&) = delete;
  DbMutexGuard& operator=(const DbMutexGuard&) = delete;

 private:
  sqlite3_mutex* m_mutex;
};

}  // namespace

CppSQLite3BusyScope::CppSQLite3BusyScope(sqlite3* db, const BusyPolicy& policy, const char* text,
                                         const char* sql)
    : m_db(db), m_policy(policy), m_text(text), m_sql(sql), m_prev(t_top) {
  t_top = this;
}

CppSQLite3BusyScope::~CppSQLite3BusyScope() { t_top = m_prev; }

CppSQLite3BusyScope* CppSQLite3BusyScope::Find(sqlite3* db) {
  for (CppSQLite3BusyScope* s = t_top; s; s = s->m_prev)
    if (s->m_db == db) return s;
  return nullptr;
}

Clock& CppSQLite3BusyScope::GetClock() const {
  return m_policy.clock ? *m_policy.clock : *Clock::System();
}

std::string CppSQLite3BusyScope::Text() const {
  std::string text = m_text ? m_text : "";
  if (m_sql) text += m_sql;
  return text;
}

bool CppSQLite3BusyScope::WaitOnce(int attempt, Kind kind, bool forceLast, BusyPauseLock* pauseLock) {
  Clock& clock = GetClock();
  if (!m_started) {
    m_start = clock.Steady();
    m_started = true;
  }
  auto elapsed = clock.Steady() - m_start;
  auto bound = std::chrono::duration_cast<Clock::Ticks::duration>(m_policy.maxWait);
  bool last = forceLast || elapsed >= bound;
  bool logIt = last || attempt == 0 || (m_policy.logEvery > 0 && attempt % m_policy.logEvery == 0);
  if (logIt && LogIsEnabled(kLogInfo)) {
    std::string text = Text();
    if (kind == Kind::kHandler)
      LogWriteFormat(kLogInfo, __FILE__, __LINE__, "DataBase BUSY! DB:BusyHandler() OPT:%s LoopCount:%d",
                     text.c_str(), attempt);
    else
      LogWriteFormat(kLogInfo, __FILE__, __LINE__, "DataBase BUSY! %s LoopCount: %d", text.c_str(), attempt);
  }
  if (last) return false;

  using std::chrono::milliseconds;
  milliseconds pause = m_policy.firstPause;
  for (int i = 0; i < attempt && pause < m_policy.maxPause; ++i) pause *= 2;
  pause = std::min(pause, m_policy.maxPause);
  // Never past the bound, and never zero, so that every retry moves time on.
  auto remaining = std::chrono::ceil<milliseconds>(bound - elapsed);
  pause = std::max(std::min(pause, remaining), milliseconds(1));
  if (pauseLock) pauseLock->Unlock();
  clock.SleepFor(pause);
  if (pauseLock) pauseLock->Relock();
  return true;
}

int CppSQLite3BusyScope::Step(sqlite3_stmt* vm, bool reRun, std::string* message, int* changes,
                              BusyPauseLock* pauseLock) {
  for (int loop = 0;; ++loop) {
    int rc;
    {
      DbMutexGuard guard(m_db);
      rc = sqlite3_step(vm);
      if (rc == SQLITE_DONE && changes) *changes = sqlite3_changes(m_db);
      if (rc != SQLITE_DONE && rc != SQLITE_ROW && message) *message = sqlite3_errmsg(m_db);
      // Outside a transaction, a statement left busy at its start is reset before it is
      // run again: while it stays active it keeps the connection's read lock, which the
      // other process may be waiting for.
      if (rc == SQLITE_BUSY && reRun && sqlite3_get_autocommit(m_db)) sqlite3_reset(vm);
    }
    if (rc != SQLITE_BUSY || !reRun) return rc;
    // The pause is taken outside the connection's mutex, and outside the caller's lock.
    if (!WaitOnce(loop, Kind::kReRun, loop > kMaxReRunCount, pauseLock)) return rc;
  }
}

bool CppSQLite3BusyScope::OnBusy(sqlite3* db, const BusyPolicy& fallback, int count) {
  if (CppSQLite3BusyScope* scope = Find(db)) return scope->WaitOnce(count, Kind::kHandler, false);
  // A library call outside any operation of the wrapper: the wait starts at the
  // first call of this locking event.
  thread_local Clock::Ticks t_start{};
  CppSQLite3BusyScope adhoc(db, fallback, "", nullptr);
  if (count == 0) t_start = adhoc.GetClock().Steady();
  adhoc.m_start = t_start;
  adhoc.m_started = true;
  return adhoc.WaitOnce(count, Kind::kHandler, false);
}

sqlite3_stmt* CppSQLite3Prepare(sqlite3* db, const char* sql, int bytes, const char** tail) {
  sqlite3_stmt* vm = nullptr;
  std::string message;
  int rc;
  {
    DbMutexGuard guard(db);
    rc = sqlite3_prepare_v2(db, sql, bytes, &vm, tail);
    if (rc != SQLITE_OK) message = sqlite3_errmsg(db);
  }
  if (rc != SQLITE_OK) {
    sqlite3_finalize(vm);
    throw CppSQLite3Exception(rc, message.c_str());
  }
  return vm;
}

std::string CppSQLite3ErrorMessage(sqlite3* db) {
  DbMutexGuard guard(db);
  return sqlite3_errmsg(db);
}

void CppSQLite3BindAll(sqlite3_stmt* vm, const CppSQLite3Params& params) {
  int index = 1;
  for (const CppSQLite3Value& value : params) {
    int rc = SQLITE_OK;
    const char* what = "";
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::nullptr_t>) {
            rc = sqlite3_bind_null(vm, index);
            what = "Error binding NULL param";
          } else if constexpr (std::is_same_v<T, int64_t>) {
            rc = sqlite3_bind_int64(vm, index, v);
            what = "Error binding int param";
          } else if constexpr (std::is_same_v<T, double>) {
            rc = sqlite3_bind_double(vm, index, v);
            what = "Error binding double param";
          } else {
            rc = sqlite3_bind_text64(vm, index, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            what = "Error binding string param";
          }
        },
        value);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, what);
    ++index;
  }
}
