// The rows of one select made through CDB. Owns the query's statement (finalized with
// the helper) and is move-only. Every call reads under the data-base lock of the CDB
// that filled it and never throws: a failure is logged with the operation's name and
// comes back as E_CV_DB_FULL, E_CV_DB_ERROR or E_FAIL. A NULL column yields the
// caller's default. A bad column name or index is E_CV_DB_ERROR.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/db/cppsqlite3query.h"
#include "common/db/dblock.h"
#include "common/resultcodes.h"

class CDBQueryHelper {
 public:
  CDBQueryHelper();
  ~CDBQueryHelper();
  CDBQueryHelper(CDBQueryHelper&& other) noexcept;
  CDBQueryHelper& operator=(CDBQueryHelper&& other) noexcept;
  CDBQueryHelper(const CDBQueryHelper&) = delete;
  CDBQueryHelper& operator=(const CDBQueryHelper&) = delete;

  // *pEof is true when there is no current row.
  HRESULT eof(bool* pEof);
  HRESULT nextRow();
  HRESULT getIntField(const std::string& field, int* pValue, int defaultValue);
  HRESULT getIntField(int field, int* pValue, int defaultValue);
  HRESULT getUIntField(const std::string& field, unsigned* pValue, unsigned defaultValue);
  HRESULT getUIntField(int field, unsigned* pValue, unsigned defaultValue);
  HRESULT getInt64Field(const std::string& field, int64_t* pValue, int64_t defaultValue);
  HRESULT getInt64Field(int field, int64_t* pValue, int64_t defaultValue);
  HRESULT getStringField(const std::string& field, std::string* pValue, const std::string& defaultValue);
  HRESULT getStringField(int field, std::string* pValue, const std::string& defaultValue);

 private:
  friend class CDB;
  // Takes the query; lock is the data-base lock of the CDB that ran it.
  void Attach(CppSQLite3Query&& query, std::shared_ptr<CDBLock> lock);
  template <typename Fn>
  HRESULT Guarded(const char* source, const char* assertText, Fn&& fn);

  CppSQLite3Query m_query;
  std::shared_ptr<CDBLock> m_spLock;
};
