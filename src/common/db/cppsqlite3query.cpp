#include "common/db/cppsqlite3query.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/db/cppsqlite3internal.h"

// ---- CppSQLite3Query ----

CppSQLite3Query::CppSQLite3Query() = default;

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool ownVM, const BusyPolicy& policy)
    : mpDB(db), mpVM(vm), mbEof(eof), mnCols(vm ? sqlite3_column_count(vm) : 0), mbOwnVM(ownVM), m_policy(policy) {}

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, const BusyPolicy& policy,
                                 std::shared_ptr<CppSQLite3StatementCache> cache, std::string sql)
    : CppSQLite3Query(db, vm, eof, true, policy) {
  m_cache = std::move(cache);
  m_sql = std::move(sql);
}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : mpDB(std::exchange(other.mpDB, nullptr)),
      mpVM(std::exchange(other.mpVM, nullptr)),
      mbEof(std::exchange(other.mbEof, true)),
      mnCols(std::exchange(other.mnCols, 0)),
      mbOwnVM(std::exchange(other.mbOwnVM, false)),
      m_policy(other.m_policy),
      m_cache(std::move(other.m_cache)),
      m_sql(std::move(other.m_sql)) {}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) noexcept {
  if (this != &other) {
    release();
    mpDB = std::exchange(other.mpDB, nullptr);
    mpVM = std::exchange(other.mpVM, nullptr);
    mbEof = std::exchange(other.mbEof, true);
    mnCols = std::exchange(other.mnCols, 0);
    mbOwnVM = std::exchange(other.mbOwnVM, false);
    m_policy = other.m_policy;
    m_cache = std::move(other.m_cache);
    m_sql = std::move(other.m_sql);
  }
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() { release(); }

void CppSQLite3Query::release() noexcept {
  if (mpVM && mbOwnVM) {
    if (m_cache) {
      m_cache->Give(m_sql, mpVM);
    } else {
      sqlite3_finalize(mpVM);
    }
  }
  m_cache.reset();
  mpVM = nullptr;
  mbEof = true;
  mnCols = 0;
  mbOwnVM = false;
}

void CppSQLite3Query::checkVM() const {
  if (!mpVM) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Virtual Machine pointer");
}

int CppSQLite3Query::checkIndex(int field) const {
  checkVM();
  if (field < 0 || field >= mnCols) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field index requested");
  return field;
}

int CppSQLite3Query::numFields() const {
  checkVM();
  return mnCols;
}

int CppSQLite3Query::fieldIndex(const std::string& field) const {
  checkVM();
  for (int i = 0; i < mnCols; ++i) {
    const char* name = sqlite3_column_name(mpVM, i);
    if (name && field == name) return i;
  }
  throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field name requested");
}

const char* CppSQLite3Query::fieldName(int col) const { return sqlite3_column_name(mpVM, checkIndex(col)); }

const char* CppSQLite3Query::fieldDeclType(int col) const {
  return sqlite3_column_decltype(mpVM, checkIndex(col));
}

int CppSQLite3Query::fieldDataType(int col) const { return sqlite3_column_type(mpVM, checkIndex(col)); }

const char* CppSQLite3Query::fieldValue(int field) const {
  return reinterpret_cast<const char*>(sqlite3_column_text(mpVM, checkIndex(field)));
}
const char* CppSQLite3Query::fieldValue(const std::string& field) const { return fieldValue(fieldIndex(field)); }

bool CppSQLite3Query::fieldIsNull(int field) const { return fieldDataType(field) == SQLITE_NULL; }
bool CppSQLite3Query::fieldIsNull(const std::string& field) const { return fieldIsNull(fieldIndex(field)); }

int CppSQLite3Query::getIntField(int field, int nullValue) const {
  if (fieldIsNull(field)) return nullValue;
  return sqlite3_column_int(mpVM, field);
}
int CppSQLite3Query::getIntField(const std::string& field, int nullValue) const {
  return getIntField(fieldIndex(field), nullValue);
}

int64_t CppSQLite3Query::getInt64Field(int field, int64_t nullValue) const {
  if (fieldIsNull(field)) return nullValue;
  return sqlite3_column_int64(mpVM, field);
}
int64_t CppSQLite3Query::getInt64Field(const std::string& field, int64_t nullValue) const {
  return getInt64Field(fieldIndex(field), nullValue);
}

double CppSQLite3Query::getFloatField(int field, double nullValue) const {
  if (fieldIsNull(field)) return nullValue;
  return sqlite3_column_double(mpVM, field);
}
double CppSQLite3Query::getFloatField(const std::string& field, double nullValue) const {
  return getFloatField(fieldIndex(field), nullValue);
}

std::string CppSQLite3Query::getStringField(int field, const std::string& nullValue) const {
  // The text of a NULL column is null (so is that of a value SQLite had no memory to
  // convert): either way the caller's default.
  const unsigned char* text = sqlite3_column_text(mpVM, checkIndex(field));
  if (!text) return nullValue;
  int bytes = sqlite3_column_bytes(mpVM, field);
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}
std::string CppSQLite3Query::getStringField(const std::string& field, const std::string& nullValue) const {
  return getStringField(fieldIndex(field), nullValue);
}

std::string CppSQLite3Query::getBlobField(int field) const {
  checkIndex(field);
  const void* blob = sqlite3_column_blob(mpVM, field);
  int bytes = sqlite3_column_bytes(mpVM, field);
  return blob ? std::string(static_cast<const char*>(blob), static_cast<size_t>(bytes)) : std::string();
}
std::string CppSQLite3Query::getBlobField(const std::string& field) const { return getBlobField(fieldIndex(field)); }

bool CppSQLite3Query::eof() const {
  checkVM();
  return mbEof;
}

void CppSQLite3Query::nextRow() {
  checkVM();
  std::string message;
  int rc;
  {
    CppSQLite3BusyScope scope(mpDB, m_policy, "CppSQLite3Query::nextRow()...sqlite3_step(mpVM)", nullptr);
    rc = scope.Step(mpVM, false, &message);
  }
  if (rc == SQLITE_DONE) {
    mbEof = true;
  } else if (rc == SQLITE_ROW) {
    mbEof = false;
  } else {
    if (!mbOwnVM) sqlite3_reset(mpVM);
    release();
    throw CppSQLite3Exception(rc, message.c_str());
  }
}

void CppSQLite3Query::finalize() {
  if (mpVM && mbOwnVM) {
    int rc = m_cache ? m_cache->Give(m_sql, mpVM) : sqlite3_finalize(mpVM);
    mpVM = nullptr;
    if (rc != SQLITE_OK) {
      // The connection may be gone with its last statement: the code's own text.
      release();
      throw CppSQLite3Exception(rc, sqlite3_errstr(rc));
    }
  }
  release();
}

// ---- CppSQLite3Table ----

CppSQLite3Table::CppSQLite3Table() = default;

CppSQLite3Table::CppSQLite3Table(char** results, int rows, int cols)
    : mnCols(cols), mnRows(rows), mpaszResults(results) {}

CppSQLite3Table::CppSQLite3Table(CppSQLite3Table&& other) noexcept
    : mnCurrentRow(std::exchange(other.mnCurrentRow, 0)),
      mnCols(std::exchange(other.mnCols, 0)),
      mnRows(std::exchange(other.mnRows, 0)),
      mpaszResults(std::exchange(other.mpaszResults, nullptr)) {}

CppSQLite3Table& CppSQLite3Table::operator=(CppSQLite3Table&& other) noexcept {
  if (this != &other) {
    if (mpaszResults) sqlite3_free_table(mpaszResults);
    mnCurrentRow = std::exchange(other.mnCurrentRow, 0);
    mnCols = std::exchange(other.mnCols, 0);
    mnRows = std::exchange(other.mnRows, 0);
    mpaszResults = std::exchange(other.mpaszResults, nullptr);
  }
  return *this;
}

CppSQLite3Table::~CppSQLite3Table() {
  if (mpaszResults) sqlite3_free_table(mpaszResults);
}

void CppSQLite3Table::finalize() {
  if (mpaszResults) sqlite3_free_table(mpaszResults);
  mpaszResults = nullptr;
  mnCurrentRow = mnCols = mnRows = 0;
}

void CppSQLite3Table::checkResults() const {
  if (!mpaszResults) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Null Results pointer");
}

int CppSQLite3Table::checkIndex(int field) const {
  checkResults();
  if (field < 0 || field >= mnCols) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field index requested");
  return field;
}

int CppSQLite3Table::indexOf(const std::string& field) const {
  checkResults();
  for (int i = 0; i < mnCols; ++i)
    if (mpaszResults[i] && field == mpaszResults[i]) return i;
  throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid field name requested");
}

int CppSQLite3Table::numFields() const {
  checkResults();
  return mnCols;
}

int CppSQLite3Table::numRows() const {
  checkResults();
  return mnRows;
}

const char* CppSQLite3Table::fieldName(int col) const { return mpaszResults[checkIndex(col)]; }

const char* CppSQLite3Table::fieldValue(int field) const {
  checkIndex(field);
  if (mnCurrentRow < 0 || mnCurrentRow >= mnRows)
    throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid row index requested");
  // Row 0 of the array holds the column names.
  return mpaszResults[(mnCurrentRow + 1) * mnCols + field];
}
const char* CppSQLite3Table::fieldValue(const std::string& field) const { return fieldValue(indexOf(field)); }

bool CppSQLite3Table::fieldIsNull(int field) const { return fieldValue(field) == nullptr; }
bool CppSQLite3Table::fieldIsNull(const std::string& field) const { return fieldValue(field) == nullptr; }

int CppSQLite3Table::getIntField(int field, int nullValue) const {
  const char* v = fieldValue(field);
  return v ? std::atoi(v) : nullValue;
}
int CppSQLite3Table::getIntField(const std::string& field, int nullValue) const {
  return getIntField(indexOf(field), nullValue);
}

double CppSQLite3Table::getFloatField(int field, double nullValue) const {
  const char* v = fieldValue(field);
  return v ? std::atof(v) : nullValue;
}
double CppSQLite3Table::getFloatField(const std::string& field, double nullValue) const {
  return getFloatField(indexOf(field), nullValue);
}

std::string CppSQLite3Table::getStringField(int field, const std::string& nullValue) const {
  const char* v = fieldValue(field);
  return v ? std::string(v) : nullValue;
}
std::string CppSQLite3Table::getStringField(const std::string& field, const std::string& nullValue) const {
  return getStringField(indexOf(field), nullValue);
}

void CppSQLite3Table::setRow(int row) {
  checkResults();
  if (row < 0 || row >= mnRows) throw CppSQLite3Exception(CPPSQLITE_ERROR, "Invalid row index requested");
  mnCurrentRow = row;
}
