#include "common/db/dbhelper.h"

#include "common/checks.h"
#include "common/strhelper.h"

HRESULT CDBHelper::Init(const std::string& rootPath) {
  if (rootPath.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szRootPath");
  m_strDBPath = JoinPath(rootPath, "tevok.db");
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
