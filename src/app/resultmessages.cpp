#include "app/resultmessages.h"

#include <cstdio>

namespace {

struct ResultInfo {
  HRESULT code;
  const char* name;
  const char* meaning;
};

// Names are the service's result words where the code comes from one.
const ResultInfo kResults[] = {
    {S_FALSE, "S_FALSE", "nothing to do"},
    {E_NOTIMPL, "E_NOTIMPL", "not implemented"},
    {E_NOINTERFACE, "E_NOINTERFACE", "a component is missing"},
    {E_POINTER, "E_POINTER", "an internal argument was missing"},
    {E_ABORT, "E_ABORT", "the operation was aborted"},
    {E_FAIL, "E_FAIL", "the operation failed (the log has the details)"},
    {E_UNEXPECTED, "E_UNEXPECTED", "an unexpected failure"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
    {E_INVALIDARG, "E_INVALIDARG", "an argument was not valid"},
    {E_CV_SRV_CLIENT_BAD_PARAMS, "clientBadParams", "the service refused the request's parameters"},
    {E_CV_SRV_SERVER_DENY, "serverDeny", "the service refused the request"},
    {E_CV_SRV_SERVER_BUSY, "serverBusy", "the service is busy; try again later"},
    {E_CV_SRV_CLIENT_TOO_FREQUENT, "clientTooFrequent", "too many requests; try again later"},
    {E_CV_SRV_CLIENT_NO_METHOD, "clientNoMethod", "the service does not know this request"},
    {E_CV_SRV_ACCOUNT_SERVER_ERROR, "accountServerError", "the account service failed"},
    {E_CV_SRV_ACCOUNT_NOT_ACTIVE, "accountNotActive", "the account is not active"},
    {E_CV_SRV_DATA_OPERATION_FAILED, "dataOperationFailed", "the service could not change its data"},
    {E_CV_SRV_PERMISSION_DENIED, "permissionDenied", "you have no permission for this item"},
    {E_CV_SRV_SERVER_DENY_READ_ONLY, "serverDenyReadOnly", "the service is read-only at the moment"},
    {E_CV_SRV_FAILURE_TO_APPLY_STUB, "failureToApplyStub", "the service could not start the transfer"},
    {E_CV_SRV_BAD_STUB, "badStub", "the transfer's ticket was refused"},
    {E_CV_SRV_GET_FILE_KEY_FAILED, "getFileKeyFailed", "the file's key could not be had"},
    {E_CV_SRV_STORAGE_ERROR, "storageError", "the service's storage failed"},
    {E_CV_SRV_GET_FILE_INFO_FAILED, "getFileInfoFailed", "the file's details could not be had"},
    {E_CV_SRV_UNKNOWN_WORD, "unknownResult", "the service answered with an unknown result"},
    {E_CV_SRV_SERVER_ERROR, "serverError", "the service failed (or answered with an HTTP error)"},
    {E_CV_SRV_CLIENT_TOKEN_EXPIRED, "clientTokenExpired", "the session has expired; sign in again"},
    {E_CV_SRV_METHOD_VERSION_NOT_MATCH, "methodVersionNotMatch", "this version is too old for the service"},
    {E_CV_CURL_CANCEL, "cancelled", "the transfer was cancelled"},
    {E_CV_SRV_ACCOUNT_NOT_MATCH, "accountNotMatch", "the user name or the password is wrong"},
    {E_CV_SRV_CLIENT_NO_LOGIN, "clientNoLogin", "not signed in; sign in again"},
    {E_CV_SRV_ERROR_DENY, "errorDeny", "the service refused the request"},
    {E_CV_TARGET_EXISTS, "targetExist", "an item of that name exists already"},
    {E_CV_TARGET_NOT_EXISTS, "targetNotExist", "the item does not exist"},
    {E_CV_SRV_OVER_SPACE, "overSpace", "the space is full"},
    {E_CV_FILE_VER_CONFLICT, "fileVerConflict", "the file was changed elsewhere meanwhile"},
    {E_CV_SRV_FORBIDDEN, "forbidden", "the service forbids this"},
    {E_CV_PARENT_NOT_EXIST, "parentNotExist", "the folder does not exist"},
    {E_CV_TASK_FAILED, "taskFailed", "the transfer failed"},
    {E_CV_SRV_EMPTY_FILE, "emptyFile", "the file is empty"},
    {E_CV_FOLDER_NON_EMPTY, "folderNonEmpty", "the folder is not empty"},
    {E_CV_SRV_UPLOAD_ERROR, "uploadError", "the upload failed at the service"},
    {E_CV_SRV_FILE_MISS_IN_AGENT, "fileMissInAgent", "the service lost the file's contents"},
    {E_CV_SRV_TIMEOUT, "timeout", "the service timed out"},
    {E_CV_SRV_WSS_ERROR, "wssError", "the service's storage failed"},
    {E_CV_NETWORK_ERROR, "networkTimeout", "the connection timed out"},
    {E_CV_NETWORK_ERROR2, "networkUnreachable", "the service cannot be reached"},
    {E_CV_NETWORK_ERROR3, "networkError", "the transfer failed on the way"},
    {E_CV_SHA1_MISMATCH, "sha1Mismatch", "the file arrived damaged"},
    {E_CV_LOCAL_NOT_EXIST, "localNotExist", "the local file does not exist"},
    {E_CV_LOCAL_LOCKED, "localLocked", "another program holds the local file"},
    {E_CV_LOCAL_EXISTS, "localExists", "the local file exists already"},
    {E_CV_LOCAL_NOT_FOLDER, "localNotFolder", "a link or something other than a folder is in the way"},
    {E_CV_LOCAL_IN_EDIT, "localInEdit", "the file is being edited by another program of this user"},
    {E_CV_DB_FULL, "dbFull", "the local data base is full"},
    {E_CV_DB_ERROR, "dbError", "the local data base failed"},
};

// The system's own texts, as the task-end messages give them.
const char* OwnText(HRESULT result) {
  switch (result) {
    case E_CV_SRV_METHOD_VERSION_NOT_MATCH:
      return "当前Vendro版本太旧，请重启Vendro，Vendro会自动为您升级。";
    case E_CV_SRV_CLIENT_TOKEN_EXPIRED:
    case E_CV_SRV_CLIENT_NO_LOGIN:
      return "您的会话已经过期，为了您的安全，请重新登录Vendro。";
    case E_CV_SRV_OVER_SPACE:
      return "您的Sepra空间已满，当前操作失败。";
    case E_CV_TARGET_NOT_EXISTS:
      return "当前文件不存在，请刷新后检查文件是否存在。";
    default:
      return IsNetworkResult(result) ? "网络链接出错，请检查网络是否顺畅。" : nullptr;
  }
}

const ResultInfo* Find(HRESULT result) {
  for (const auto& info : kResults)
    if (info.code == result) return &info;
  return nullptr;
}

std::string Hex(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

}  // namespace

std::string ResultName(HRESULT result) {
  const ResultInfo* info = Find(result);
  return info ? info->name : std::string();
}

std::string ResultMessage(HRESULT result) {
  const ResultInfo* info = Find(result);
  const char* own = OwnText(result);
  if (own) return std::string(own) + " (" + (info ? std::string(info->name) + ", " : std::string()) + Hex(result) + ")";
  if (info) return std::string(info->name) + " (" + Hex(result) + "): " + info->meaning;
  return Hex(result) + ": unknown result";
}
