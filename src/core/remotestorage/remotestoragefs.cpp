// The file-system API requests of CRemoteStorage: one XML request under "/xsvr/" per
// operation, and the push long poll.
#include <string>

#include "common/checks.h"
#include "common/tracestack.h"
#include "core/remotestorage/remotestorage.h"
#include "core/remotestorage/requestframe.h"

namespace {

constexpr int32_t kRequestTimeoutSec = 30;
constexpr int32_t kPushTimeoutSec = 270;

// Every token in a trace detail is shown as this.
constexpr const char kTokenMask[] = "__token__";

}  // namespace

// The failure line of every request without accepted failure codes.
#define LOG_REQUEST_FAILURE(hr)                                                          \
  do {                                                                                   \
    if (FAILED(hr)) OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: hr", static_cast<unsigned>(hr)); \
  } while (0)

HRESULT CRemoteStorage::Login(const TaskData_Login& TaskData, TransportProgressCallback callback, void* context,
                              RecordTree* result) {
  ASSERT_FIELD(strUser);
  ASSERT_FIELD(strPassword);
  ASSERT_FIELD(strDeviceId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::Login()", &hr,
                     "User = %s, Password = %s, DeviceId = %s, ClientName = %s, ClientVersion = %s",
                     TaskData.strUser.c_str(), "__password__", TaskData.strDeviceId.c_str(),
                     TaskData.strClientName.c_str(), TaskData.strClientVersion.c_str());
  RecordTree request("nuvra");
  request.AddValue("user", TaskData.strUser);
  request.AddValue("password", TaskData.strPassword);
  request.AddValue("deviceId", TaskData.strDeviceId);
  request.AddValue("clientName", TaskData.strClientName);
  request.AddValue("clientVersion", TaskData.strClientVersion);
  hr = _XmlRequest("/xsvr/login/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::ReLogin(const TaskData_ReLogin& TaskData, TransportProgressCallback callback,
                                void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CRemoteStorage::ReLogin()", &hr);
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("deviceId", TaskData.strDeviceId);
  request.AddValue("clientName", "ostrel");
  hr = _XmlRequest("/xsvr/forkToken/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::GetSpace(const TaskData_GetSpace& TaskData, TransportProgressCallback callback,
                                 void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CRemoteStorage::GetSpace()", &hr);
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  hr = _XmlRequest("/xsvr/getSpace/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::GetMaxVers(const TaskData_GetRemoteOptVer& TaskData, TransportProgressCallback callback,
                                   void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CRemoteStorage::GetMaxVers()", &hr);
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  // No overall limit: the transport still gives up on a connection that stalls.
  hr = _XmlRequest("/xsvr/getMaxVers/", request, callback, context, result, 0);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::GetRecycle(const TaskData_GetRecycle& TaskData, TransportProgressCallback callback,
                                   void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strOpVersion);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::GetRecycle()", &hr, "OpVersion = %s, Size = %d",
                     TaskData.strOpVersion.c_str(), TaskData.nSize);
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("opVer", TaskData.strOpVersion);
  request.AddValue("size", std::to_string(TaskData.nSize));
  hr = _XmlRequest("/xsvr/getRecycle/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::CleanRecycle(const TaskData_CleanRecycle& TaskData, TransportProgressCallback callback,
                                     void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::CleanRecycle()", &hr, "Token = %s, Id = %s", kTokenMask,
                     TaskData.strId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  hr = _XmlRequest("/xsvr/cleanRecycle/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::Recover(const TaskData_Recover& TaskData, TransportProgressCallback callback,
                                void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::Recover()", &hr, "Token = %s, Id = %s, ParentId = %s", kTokenMask,
                     TaskData.strId.c_str(), TaskData.strParentId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  request.AddValue("parentId", TaskData.strParentId);
  hr = _XmlRequest("/xsvr/recover/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::PushNotify(const TaskData_PushNotify& TaskData, TransportProgressCallback callback,
                                   void* context, RecordTree* result) {
  ASSERT_FIELD(strUserId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::PushNotify()", &hr, "UserId = %s", TaskData.strUserId.c_str());
  // The user id goes into the query unencoded.
  if (!IsRawQueryValueSafe(TaskData.strUserId)) {
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:IsRawQueryValueSafe(TaskData.strUserId)");
    return hr = E_INVALIDARG;
  }
  RecordTree query;
  query.AddValue("uid", TaskData.strUserId);
  std::string path = "/sync/get?" + RecordTreeToKeyValueText(query, '&', '=');
  hr = _HttpRequest(path, MakeRequestHeader(2), nullptr, callback, context, result, kPushTimeoutSec, true);
  if (FAILED(hr)) {
    OSTREL_LOG(kLogTrace, "CHECK_COM2:hr hr = %x, MSG: %s", static_cast<unsigned>(hr),
               "CRemoteStorage::PushNotify Failed!");
  }
  return hr;
}

HRESULT CRemoteStorage::_Snapshot(const char* function, const char* path, const SnapshotRecord& TaskData,
                                  TransportProgressCallback callback, void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strOpVersion);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL(function, &hr, "OpVersion = %s", TaskData.strOpVersion.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("opVer", TaskData.strOpVersion);
  request.AddValue("size", TaskData.strSize);
  hr = _XmlRequest(path, request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::GetNormalItemSnapshot(const SnapshotRecord& TaskData, TransportProgressCallback callback,
                                              void* context, RecordTree* result) {
  return _Snapshot("CRemoteStorage::GetNormalItemSnapshot()", "/xsvr/syncFile/", TaskData, callback, context,
                   result);
}

HRESULT CRemoteStorage::GetDeletedItemSnapshot(const SnapshotRecord& TaskData, TransportProgressCallback callback,
                                               void* context, RecordTree* result) {
  return _Snapshot("CRemoteStorage::GetDeletedItemSnapshot()", "/xsvr/syncDelFile/", TaskData, callback, context,
                   result);
}

HRESULT CRemoteStorage::GetAllShareFile(const TaskData_GetAllShareFile& TaskData,
                                        TransportProgressCallback callback, void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("CRemoteStorage::GetAllShareFile()", &hr);
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("type", TaskData.nShareType != 0 ? "toMe" : "out");
  hr = _XmlRequest("/xsvr/asmGetAllSharedFiles/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::Dir(const TaskData_Dir& TaskData, TransportProgressCallback callback, void* context,
                            RecordTree* result) {
  ASSERT_FIELD(strToken);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::Dir()", &hr, "Id = %s", TaskData.strId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  hr = _XmlRequest("/xsvr/dir/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::_Delete(const char* path, const TaskData_Delete& TaskData,
                                TransportProgressCallback callback, void* context) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::Delete()", &hr, "Id = %s", TaskData.strId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  RecordTree reply;
  hr = _XmlRequest(path, request, callback, context, &reply, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::Delete(const TaskData_Delete& TaskData, TransportProgressCallback callback, void* context) {
  return _Delete("/xsvr/delete/", TaskData, callback, context);
}

HRESULT CRemoteStorage::DeleteEx(const TaskData_Delete& TaskData, TransportProgressCallback callback,
                                 void* context) {
  return _Delete("/xsvr/deleteEx/", TaskData, callback, context);
}

HRESULT CRemoteStorage::Rename(const TaskData_Rename& TaskData, TransportProgressCallback callback, void* context,
                               RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  ASSERT_FIELD(strNewName);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::Rename()", &hr, "Id = %s, NewName = %s", TaskData.strId.c_str(),
                     TaskData.strNewName.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  request.AddValue("name", TaskData.strNewName);
  hr = _XmlRequest("/xsvr/rename/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::NewFolder(const TaskData_DirectoryAdd& TaskData, TransportProgressCallback callback,
                                  void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strName);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::NewFolder()", &hr, "ParentId = %s, Name = %s", TaskData.strParentId.c_str(),
                     TaskData.strName.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("parentId", TaskData.strParentId);
  request.AddValue("name", TaskData.strName);
  hr = _XmlRequest("/xsvr/newFolder/", request, callback, context, result, kRequestTimeoutSec);
  if (hr != S_OK && hr != E_CV_TARGET_EXISTS)
    OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:S_OK == hr || E_CV_TARGET_EXISTS == hr");
  return hr;
}

HRESULT CRemoteStorage::_Move(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                              RecordTree* result) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::Move()", &hr, "Id = %s, ParentId = %s, Name = %s", TaskData.strId.c_str(),
                     TaskData.strParentId.c_str(), TaskData.strName.c_str());
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  request.AddValue("parentId", TaskData.strParentId);
  request.AddValue("name", TaskData.strName);
  hr = _XmlRequest("/xsvr/move/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::Move(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                             RecordTree* result) {
  return _Move(TaskData, callback, context, result);
}

HRESULT CRemoteStorage::Move2(const TaskData_Move& TaskData, TransportProgressCallback callback, void* context,
                              RecordTree* result) {
  return _Move(TaskData, callback, context, result);
}

HRESULT CRemoteStorage::NewFile(const TaskData_NewFile& TaskData, TransportProgressCallback callback,
                                void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strName);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::NewFile()", &hr, "ParentId = %s, Name = %s", TaskData.strParentId.c_str(),
                     TaskData.strName.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("parentId", TaskData.strParentId);
  request.AddValue("name", TaskData.strName);
  hr = _XmlRequest("/xsvr/newFile/", request, callback, context, result, kRequestTimeoutSec);
  if (hr != S_OK && hr != E_CV_TARGET_EXISTS && hr != E_CV_PARENT_NOT_EXIST)
    OSTREL_LOG(kLogWarn, "%s",
               "ERROR_CHECK_BOOL:S_OK == hr || E_CV_TARGET_EXISTS == hr || E_CV_PARENT_NOT_EXIST == hr");
  return hr;
}

HRESULT CRemoteStorage::UpdateFile(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback,
                                   void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strFileVer);
  ASSERT_FIELD(strSizeOrg);
  ASSERT_FIELD(strId);
  ASSERT_FIELD(strSha1Org);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::UpdateFile()", &hr, "FileVer = %s, SizeOrg = %s, Id = %s, Sha1Org = %s",
                     TaskData.strFileVer.c_str(), TaskData.strSizeOrg.c_str(), TaskData.strId.c_str(),
                     TaskData.strSha1Org.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileVer", TaskData.strFileVer);
  request.AddValue("size", TaskData.strSizeOrg);
  request.AddValue("fileId", TaskData.strId);
  request.AddValue("sha1", TaskData.strSha1Org);
  hr = _XmlRequest("/xsvr/requestUpload/", request, callback, context, result, kRequestTimeoutSec);
  if (hr != S_OK && hr != E_CV_FILE_VER_CONFLICT && hr != E_CV_TARGET_NOT_EXISTS)
    OSTREL_LOG(kLogWarn, "%s",
               "ERROR_CHECK_BOOL:S_OK == hr || E_CV_FILE_VER_CONFLICT == hr || E_CV_TARGET_NOT_EXISTS == hr");
  return hr;
}

HRESULT CRemoteStorage::FullTextSearch(const TaskData_FullTextSearch& TaskData, TransportProgressCallback callback,
                                       void* context, RecordTree* result) {
  if (TaskData.strToken.empty() || TaskData.searchText.empty())
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(TaskData.strToken) && !IsStrEmpty(TaskData.searchText)");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::FullTextSearch()", &hr, "Token = %s, searchText = %s", kTokenMask,
                     TaskData.searchText.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("searchText", TaskData.searchText);
  request.AddValue("searchType", std::to_string(TaskData.nSearchType));
  hr = _XmlRequest("/xsvr/fullTextSearch", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::GetItemInfo(const TaskData_GetItemInfo& TaskData, TransportProgressCallback callback,
                                    void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::GetItemInfo()", &hr, "Id = %s", TaskData.strId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  hr = _XmlRequest("/xsvr/getItemInfo/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::ShareFile(const ShareRecord& TaskData, TransportProgressCallback callback, void* context,
                                  RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strId);
  if (TaskData.vecSharers.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: TaskData.vecSharers.size()");
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::ShareFile()", &hr, "Id = %s", TaskData.strId.c_str());
  std::string sharers;
  for (size_t i = 0; i < TaskData.vecSharers.size(); ++i) {
    if (i > 0) sharers += ',';
    sharers += TaskData.vecSharers[i];
  }
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  request.AddValue("sharers", sharers);
  request.AddValue("writable", TaskData.bWritable ? "true" : "false");
  request.AddValue("sendMail", TaskData.bSendMail ? "true" : "false");
  hr = _XmlRequest("/xsvr/asmShare/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}

HRESULT CRemoteStorage::SetFileModTime(const TaskData_UpdateFile& TaskData, TransportProgressCallback callback,
                                       void* context, RecordTree* result) {
  ASSERT_FIELD(strToken);
  ASSERT_FIELD(strMTime);
  ASSERT_FIELD(strId);
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CRemoteStorage::SetFileModTime()", &hr, "Token = %s, Id = %s", kTokenMask,
                     TaskData.strId.c_str());
  RecordTree request("nuvra");
  request.AddValue("token", TaskData.strToken);
  request.AddValue("fileId", TaskData.strId);
  request.AddValue("modTime", TaskData.strMTime);
  hr = _XmlRequest("/xsvr/setModTime/", request, callback, context, result, kRequestTimeoutSec);
  LOG_REQUEST_FAILURE(hr);
  return hr;
}
