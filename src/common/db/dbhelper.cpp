#include "common/db/dbhelper.h"

#include "common/checks.h"

HRESULT CDBHelper::Init(const std::string& rootPath) {
  if (rootPath.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szRootPath");
  m_strDBPath = rootPath;
  if (!m_strDBPath.empty() && m_strDBPath.back() != '/') m_strDBPath += '/';
  m_strDBPath += "tevok.db";
  HRESULT hr = CDB::Init(m_strDBPath);
  ERROR_CHECK_COM(hr);
  hr = GetConfigTable().Init(this, "config");
  ERROR_CHECK_COM(hr);
  return S_OK;
}

HRESULT CDBHelper::UnInit() {
  GetConfigTable().UnInit();
  return CDB::UnInit();
}

CDBHelper& GetUserDB() {
  static CDBHelper instance;
  return instance;
}

CKVDB& GetConfigTable() {
  static CKVDB instance;
  return instance;
}
