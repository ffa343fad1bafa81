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
  {
    std::lock_guard<std::mutex> bind(m_bindLock);
    if (!(!m_pDB && pDB && !tableName.empty()))
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: !m_pDB && pDB && szTableName");
    m_pDB = pDB;
    m_strTable = tableName;
  }
  CDB* db = nullptr;
  std::string table;
  ERROR_CHECK_BOOLEX(Bound(&db, &table));
  bool exists = false;
  HRESULT hr = db->tableExists(table, &exists);
  if (FAILED(hr)) return hr;
  if (exists) return S_OK;
  return db->CreateTable(table, "section TEXT, field TEXT, value TEXT");
}

void CKVDB::UnInit() {
  std::lock_guard<std::mutex> bind(m_bindLock);
  m_pDB = nullptr;
  m_strTable.clear();
}

CDB* CKVDB::GetDB() const {
  std::lock_guard<std::mutex> bind(m_bindLock);
  return m_pDB;
}

bool CKVDB::Bound(CDB** db, std::string* table) const {
  std::lock_guard<std::mutex> bind(m_bindLock);
  *db = m_pDB;
  *table = m_strTable;
  return m_pDB != nullptr;
}

int64_t CKVDB::ParseInt64(const std::string& text) { return ParseDecimal<int64_t>(text); }

HRESULT CKVDB::GetItem(const std::string& section, const std::string& field, std::string* pValue,
                       const std::string& defaultValue) {
  CDB* db = nullptr;
  std::string table;
  const bool pDB = Bound(&db, &table);
  ERROR_CHECK_BOOLEX(pDB);
  CDBQueryHelper row;
  bool found = false;
  HRESULT hr = SelectItem(db, table, section, field, &row, &found);
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

HRESULT CKVDB::UpdateItem(const std::string& section, const std::string& field, const Change& change) {
  if (section.empty() || field.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szSection && szField && szValue");
  CDB* db = nullptr;
  std::string table;
  const bool pDB = Bound(&db, &table);
  ERROR_CHECK_BOOLEX(pDB);
  // Inside the caller's transaction a failure is the caller's to end; a transaction of
  // our own is rolled back here.
  const bool own = !db->OwnsTransaction();
  HRESULT hr = db->BeginTransaction();
  if (FAILED(hr)) return hr;
  bool found = false;
  std::string current, next;
  {
    CDBQueryHelper row;
    hr = SelectItem(db, table, section, field, &row, &found);
    if (SUCCEEDED(hr) && found) hr = row.getStringField("value", &current, std::string());
  }
  bool write = false;
  if (SUCCEEDED(hr)) write = change(found ? &current : nullptr, &next);
  if (SUCCEEDED(hr) && write) {
    hr = found ? db->UpdateRows(table, "value = ?", kCondition, {next, section, field})
               : db->InsertRow(table, "section, field, value", "?, ?, ?", {section, field, next});
  }
  if (FAILED(hr)) {
    if (own)
      db->RollbackTransaction();
    else
      db->CommitTransaction();  // only leaves the nesting level
    return hr;
  }
  hr = db->CommitTransaction();
  return FAILED(hr) ? hr : write ? S_OK : S_FALSE;
}

HRESULT CKVDB::SetItem(const std::string& section, const std::string& field, const std::string& value) {
  return UpdateItem(section, field, [&](const std::string*, std::string* next) {
    *next = value;
    return true;
  });
}

HRESULT CKVDB::SetIntItem(const std::string& section, const std::string& field, int value) {
  return SetItem(section, field, std::to_string(value));
}

HRESULT CKVDB::SetInt64Item(const std::string& section, const std::string& field, int64_t value) {
  return SetItem(section, field, std::to_string(value));
}
