#include "common/db/cppsqlite3stmtcache.h"

#include <utility>
#include <vector>

sqlite3_stmt* CppSQLite3StatementCache::Take(const std::string& sql) {
  std::lock_guard<std::mutex> guard(m_mutex);
  auto it = m_kept.find(sql);
  if (it == m_kept.end()) return nullptr;
  sqlite3_stmt* vm = it->second;
  m_kept.erase(it);
  return vm;
}

int CppSQLite3StatementCache::Give(const std::string& sql, sqlite3_stmt* vm) {
  if (!vm) return SQLITE_OK;
  const int rc = sqlite3_reset(vm);
  sqlite3_clear_bindings(vm);
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_closed && m_kept.size() < kMaxKept && m_kept.emplace(sql, vm).second) return rc;
  }
  sqlite3_finalize(vm);
  return rc;
}

void CppSQLite3StatementCache::Close() {
  std::vector<sqlite3_stmt*> kept;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_closed = true;
    for (auto& [sql, vm] : m_kept) kept.push_back(vm);
    m_kept.clear();
  }
  for (sqlite3_stmt* vm : kept) sqlite3_finalize(vm);
}
