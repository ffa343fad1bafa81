// A key-value settings table in a CDB: rows (section, field, value) of texts, created as
// "section TEXT, field TEXT, value TEXT" with no key; the writer keeps one row per
// (section, field). Numbers are stored as decimal text.
//
// Reads and writes may come from any thread, also while another thread binds or
// unbinds the table: a call that finds it unbound fails. Every write is one step for
// every thread and every process: its look-up and its insert or update run in one
// data-base transaction (inside the caller's own transaction when the calling thread
// has one open), which takes SQLite's write lock first.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "common/resultcodes.h"

class CDB;

class CKVDB {
 public:
  CKVDB();

  // Binds to the data base (not owned; it must outlive the binding) and creates the
  // table when it is missing. A second bind is logged and done all the same.
  HRESULT Init(CDB* pDB, const std::string& tableName);
  // Forgets the data base and the table name.
  void UnInit();
  CDB* GetDB() const;

  // No row: *pValue = defaultValue and S_OK. A failure leaves *pValue unchanged.
  HRESULT GetItem(const std::string& section, const std::string& field, std::string* pValue,
                  const std::string& defaultValue);
  // The text read as a decimal number with a leading sign (reading stops at the first
  // other character, "abc" reads as 0, a value out of range is clamped); an empty text
  // or no row gives the default.
  HRESULT GetIntItem(const std::string& section, const std::string& field, int* pValue, int defaultValue);
  HRESULT GetInt64Item(const std::string& section, const std::string& field, int64_t* pValue, int64_t defaultValue);
  HRESULT SetItem(const std::string& section, const std::string& field, const std::string& value);
  HRESULT SetIntItem(const std::string& section, const std::string& field, int value);
  HRESULT SetInt64Item(const std::string& section, const std::string& field, int64_t value);

  // Reads, decides and writes one item as one step (see above): change receives the
  // stored text (null when there is no row) and returns false to keep it, or true with
  // *next set to write *next. S_FALSE when change kept the row as it was.
  using Change = std::function<bool(const std::string* current, std::string* next)>;
  HRESULT UpdateItem(const std::string& section, const std::string& field, const Change& change);

  // The text read as GetInt64Item reads it.
  static int64_t ParseInt64(const std::string& text);

 private:
  // The bound data base and table; false when unbound.
  bool Bound(CDB** db, std::string* table) const;

  mutable std::mutex m_bindLock;  // guards the two members below
  CDB* m_pDB = nullptr;
  std::string m_strTable;
};
