// The prepared statements of one connection kept for reuse, keyed by their SQL text:
// preparing is most of the cost of a small statement run many times (a listing writes
// one row per item). A statement is taken out while it runs, so two runs of one text
// never share it, and is given back reset, with its values unbound and no lock held.
//
// Safe from any thread. A cache belongs to one open connection: Close (when the
// connection closes) finalizes what it keeps and finalizes whatever is given back
// later, so a statement never outlives its connection in the cache.
#pragma once

#include <sqlite3.h>

#include <mutex>
#include <string>
#include <unordered_map>

class CppSQLite3StatementCache {
 public:
  // Statements kept at most; a statement given back beyond that is finalized.
  static constexpr size_t kMaxKept = 32;

  CppSQLite3StatementCache() = default;
  ~CppSQLite3StatementCache() { Close(); }
  CppSQLite3StatementCache(const CppSQLite3StatementCache&) = delete;
  CppSQLite3StatementCache& operator=(const CppSQLite3StatementCache&) = delete;

  // A kept statement of that text, now the caller's, or null.
  sqlite3_stmt* Take(const std::string& sql);
  // Takes vm back (reset, unbound) under sql; finalizes it when the cache is closed,
  // full, or keeps one of that text already. Returns sqlite3_reset's result: the
  // failure of the statement's last step, if any.
  int Give(const std::string& sql, sqlite3_stmt* vm);
  void Close();

 private:
  std::mutex m_mutex;
  bool m_closed = false;
  std::unordered_map<std::string, sqlite3_stmt*> m_kept;
};
