// A key-value settings table in a CDB: rows (section, field, value) of texts, created as
// "section TEXT, field TEXT, value TEXT" with no key; the writer keeps one row per
// (section, field). Numbers are stored as decimal text.
//
// Bind once (Init) before the object is shared between threads; reads and writes may
// then come from any thread. SetItem is atomic: it holds the data-base lock across its
// look-up and its insert or update.
#pragma once

#include <cstdint>
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
  CDB* GetDB() const { return m_pDB; }

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

 private:
  HRESULT CreateTable();

  CDB* m_pDB = nullptr;
  std::string m_strTable;
};
