#include "common/db/kvdb.h"

#include <cctype>
#include <limits>

#include "common/checks.h"
#include "common/db/db.h"

namespace {

// Reads a decimal number the way the settings were always read: leading white space,
// an optional sign, then digits up to the first other character; no digit gives 0 and
// a value beyond the type's range is clamped.
template <typename T>
T ParseDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate towards the sign's side so that the minimum is reachable.
  T value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    T digit = static_cast<T>(text[i] - '0');
    if (negative) {
      if (value < (std::numeric_limits<T>::min() + digit) / 10) return std::numeric_limits<T>::min();
      value = value * 10 - digit;
    } else {
      if (value > (std::numeric_limits<T>::max() - digit) / 10) return std::numeric_limits<T>::max();
      value = value * 10 + digit;
    }
  }
  return value;
}

constexpr char kCondition[] = "section = ? AND field = ?";

// Selects the row of (section, field) into *row; *found tells whether there is one.
HRESULT SelectItem(CDB* db, const std::string& table, const std::string& section, const std::string& field,
                   CDBQueryHelper* row, bool* found) {
  HRESULT hr = db->SelectWhere(table, *row, kCondition, std::string(), {section, field});
  if (FAILED(hr)) return hr;
  bool end = true;
  hr = row->eof(&end);
  if (SUCCEEDED(hr)) *found = !end;
  return hr;
}

}  // namespace

CKVDB::CKVDB() = default;

HRESULT CKVDB::Init(CDB* pDB, const std::string& tableName) {
  if (!(!m_pDB && pDB && !tableName.empty())) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_pDB && pDB && szTableName");
  m_pDB = pDB;
  m_strTable = tableName;
  return CreateTable();
}

void CKVDB::UnInit() {
  m_pDB = nullptr;
  m_strTable.clear();
}

HRESULT CKVDB::CreateTable() {
  ERROR_CHECK_BOOLEX(m_pDB);
  bool exists = false;
  HRESULT hr = m_pDB->tableExists(m_strTable, &exists);
  if (FAILED(hr)) return hr;
  if (exists) return S_OK;
  return m_pDB->CreateTable(m_strTable, "section TEXT, field TEXT, value TEXT");
}

HRESULT CKVDB::GetItem(const std::string& section, const std::string& field, std::string* pValue,
                       const std::string& defaultValue) {
  ERROR_CHECK_BOOLEX(m_pDB);
  CDBQueryHelper row;
  bool found = false;
  HRESULT hr = SelectItem(m_pDB, m_strTable, section, field, &row, &found);
  if (FAILED(hr)) return hr;
  if (!found) {
    *pValue = defaultValue;
    return S_OK;
  }
  std::string value;
  hr = row.getStringField("value", &value, defaultValue);
  if (FAILED(hr)) return hr;
  *pValue = std::move(value);
  return S_OK;
}

HRESULT CKVDB::GetIntItem(const std::string& section, const std::string& field, int* pValue, int defaultValue) {
  std::string text;
  HRESULT hr = GetItem(section, field, &text, std::string());
  if (FAILED(hr)) return hr;
  *pValue = text.empty() ? defaultValue : ParseDecimal<int>(text);
  return S_OK;
}

HRESULT CKVDB::GetInt64Item(const std::string& section, const std::string& field, int64_t* pValue,
                            int64_t defaultValue) {
  std::string text;
  HRESULT hr = GetItem(section, field, &text, std::string());
  if (FAILED(hr)) return hr;
  *pValue = text.empty() ? defaultValue : ParseDecimal<int64_t>(text);
  return S_OK;
}

HRESULT CKVDB::SetItem(const std::string& section, const std::string& field, const std::string& value) {
  if (section.empty() || field.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szSection && szField && szValue");
  ERROR_CHECK_BOOLEX(m_pDB);
  // One step for every thread: look-up and write under the data-base lock.
  auto lock = m_pDB->Lock();
  bool found = false;
  {
    CDBQueryHelper row;
    HRESULT hr = SelectItem(m_pDB, m_strTable, section, field, &row, &found);
    if (FAILED(hr)) return hr;
  }
  if (!found) return m_pDB->InsertRow(m_strTable, "section, field, value", "?, ?, ?", {section, field, value});
  return m_pDB->UpdateRows(m_strTable, "value = ?", kCondition, {value, section, field});
}

HRESULT CKVDB::SetIntItem(const std::string& section, const std::string& field, int value) {
  return SetItem(section, field, std::to_string(value));
}

HRESULT CKVDB::SetInt64Item(const std::string& section, const std::string& field, int64_t value) {
  return SetItem(section, field, std::to_string(value));
}
