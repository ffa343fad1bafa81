#include "common/db/dbhelper.h"

#include <mutex>

#include "common/checks.h"
#include "common/strhelper.h"

namespace {

// The current session. Never destroyed: a worker may still ask for it while the
// process exits.
struct Current {
  std::mutex lock;
  std::shared_ptr<CDBHelper> session;
};

Current& TheCurrent() {
  static Current* current = new Current();
  return *current;
}

}  // namespace

HRESULT CDBHelper::Init(const std::string& rootPath) {
  if (rootPath.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szRootPath");
  m_strDBPath = JoinPath(rootPath, "tevok.db");
  HRESULT hr = CDB::Init(m_strDBPath);
  ERROR_CHECK_COM(hr);
  hr = m_config.Init(this, "config");
  ERROR_CHECK_COM(hr);
  return S_OK;
}

HRESULT CDBHelper::UnInit() {
  m_config.UnInit();
  return CDB::UnInit();
}

std::shared_ptr<CDBHelper> GetUserDB() {
  Current& current = TheCurrent();
  std::lock_guard<std::mutex> guard(current.lock);
  return current.session;
}

std::shared_ptr<CKVDB> GetConfigTable() {
  std::shared_ptr<CDBHelper> session = GetUserDB();
  if (!session) return nullptr;
  return std::shared_ptr<CKVDB>(session, &session->Config());
}

HRESULT OpenUserDB(const std::string& rootPath) {
  CloseUserDB();
  auto session = std::make_shared<CDBHelper>();
  HRESULT hr = session->Init(rootPath);
  if (FAILED(hr)) {
    session->UnInit();
    return hr;
  }
  Current& current = TheCurrent();
  std::lock_guard<std::mutex> guard(current.lock);
  current.session = std::move(session);
  return S_OK;
}

void CloseUserDB() {
  std::shared_ptr<CDBHelper> ended;
  {
    Current& current = TheCurrent();
    std::lock_guard<std::mutex> guard(current.lock);
    ended = std::move(current.session);
  }
  // Closing waits for a transaction in progress: outside the slot's lock.
  if (ended) ended->UnInit();
}
