#include "common/db/dbqueryhelper.h"

#include <utility>

#include "common/db/db.h"
#include "common/log.h"

CDBQueryHelper::CDBQueryHelper() = default;

CDBQueryHelper::~CDBQueryHelper() {
  if (m_spLock) {
    std::lock_guard<CDBLock> guard(*m_spLock);
    m_query = CppSQLite3Query();
  }
}

CDBQueryHelper::CDBQueryHelper(CDBQueryHelper&& other) noexcept
    : m_query(std::move(other.m_query)), m_spLock(std::move(other.m_spLock)) {}

CDBQueryHelper& CDBQueryHelper::operator=(CDBQueryHelper&& other) noexcept {
  if (this != &other) {
    if (m_spLock) {
      std::lock_guard<CDBLock> guard(*m_spLock);
      m_query = CppSQLite3Query();
    }
    m_query = std::move(other.m_query);
    m_spLock = std::move(other.m_spLock);
  }
  return *this;
}

void CDBQueryHelper::Attach(CppSQLite3Query&& query, std::shared_ptr<CDBLock> lock) {
  // The caller holds the new lock and has emptied this helper.
  m_query = std::move(query);
  m_spLock = std::move(lock);
}

template <typename Fn>
HRESULT CDBQueryHelper::Guarded(const char* source, const char* assertText, Fn&& fn) {
  // A thread that holds the lock already (a listing reading its rows in runs) does
  // not take it again for every column.
  std::unique_lock<CDBLock> guard;
  if (m_spLock && m_spLock->HeldLevels() == 0) guard = std::unique_lock<CDBLock>(*m_spLock);
  try {
    fn();
    return S_OK;
  } catch (const CppSQLite3Exception& e) {
    OSTREL_LOG(kLogError, "%s", assertText);
    LogDBException(source, e, std::string());
    return DBResultFromException(e);
  } catch (...) {
    OSTREL_LOG(kLogError, "%s", assertText);
    return E_FAIL;
  }
}

HRESULT CDBQueryHelper::eof(bool* pEof) {
  return Guarded("CDBQueryHelper::eof()", "*ASSERT*: !L\"CDBQueryHelper::eof() throw Exception!\"",
                 [&] { *pEof = m_query.eof(); });
}

HRESULT CDBQueryHelper::nextRow() {
  return Guarded("CDBQueryHelper::nextRow", "*ASSERT*: !L\"CDBQueryHelper::nextRow throw Exception!\"",
                 [&] { m_query.nextRow(); });
}

HRESULT CDBQueryHelper::getIntField(const std::string& field, int* pValue, int defaultValue) {
  return Guarded("CDBQueryHelper::getIntField", "*ASSERT*: !L\"CDBQueryHelper::getIntField throw Exception!\"",
                 [&] { *pValue = m_query.getIntField(field, defaultValue); });
}

HRESULT CDBQueryHelper::getIntField(int field, int* pValue, int defaultValue) {
  return Guarded("CDBQueryHelper::getIntField", "*ASSERT*: !L\"CDBQueryHelper::getIntField throw Exception!\"",
                 [&] { *pValue = m_query.getIntField(field, defaultValue); });
}

HRESULT CDBQueryHelper::getUIntField(const std::string& field, unsigned* pValue, unsigned defaultValue) {
  int value = 0;
  HRESULT hr = getIntField(field, &value, static_cast<int>(defaultValue));
  if (SUCCEEDED(hr)) *pValue = static_cast<unsigned>(value);
  return hr;
}

HRESULT CDBQueryHelper::getUIntField(int field, unsigned* pValue, unsigned defaultValue) {
  int value = 0;
  HRESULT hr = getIntField(field, &value, static_cast<int>(defaultValue));
  if (SUCCEEDED(hr)) *pValue = static_cast<unsigned>(value);
  return hr;
}

HRESULT CDBQueryHelper::getInt64Field(const std::string& field, int64_t* pValue, int64_t defaultValue) {
  return Guarded("CDBQueryHelper::getInt64Field", "*ASSERT*: !L\"CDBQueryHelper::getInt64Field throw Exception!\"",
                 [&] { *pValue = m_query.getInt64Field(field, defaultValue); });
}

HRESULT CDBQueryHelper::getInt64Field(int field, int64_t* pValue, int64_t defaultValue) {
  return Guarded("CDBQueryHelper::getInt64Field", "*ASSERT*: !L\"CDBQueryHelper::getInt64Field throw Exception!\"",
                 [&] { *pValue = m_query.getInt64Field(field, defaultValue); });
}

HRESULT CDBQueryHelper::getStringField(const std::string& field, std::string* pValue,
                                       const std::string& defaultValue) {
  return Guarded("CDBQueryHelper::getStringField", "*ASSERT*: !L\"CDBQueryHelper::getStringField throw Exception!\"",
                 [&] { *pValue = m_query.getStringField(field, defaultValue); });
}

HRESULT CDBQueryHelper::getStringField(int field, std::string* pValue, const std::string& defaultValue) {
  return Guarded("CDBQueryHelper::getStringField", "*ASSERT*: !L\"CDBQueryHelper::getStringField throw Exception!\"",
                 [&] { *pValue = m_query.getStringField(field, defaultValue); });
}
