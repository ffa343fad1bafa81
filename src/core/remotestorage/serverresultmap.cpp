#include "core/remotestorage/serverresultmap.h"

#include <algorithm>
#include <array>
#include <string>

#include "common/log.h"

namespace {

// The words exactly as the service sends them, sorted ordinally for the lookup.
constexpr std::array<ServerResultMap::Row, 35> kRows = [] {
  std::array<ServerResultMap::Row, 35> rows = {{
      {"Ok", S_OK},
      {"ok", S_OK},
      {"clientBadParams", E_CV_SRV_CLIENT_BAD_PARAMS},
      {"serverDeny", E_CV_SRV_SERVER_DENY},
      {"serverBusy", E_CV_SRV_SERVER_BUSY},
      {"clientTooFrequent", E_CV_SRV_CLIENT_TOO_FREQUENT},
      {"clientNoMethod", E_CV_SRV_CLIENT_NO_METHOD},
      {"accountServerError", E_CV_SRV_ACCOUNT_SERVER_ERROR},
      {"accountNotActive", E_CV_SRV_ACCOUNT_NOT_ACTIVE},
      {"dataOperationFailed", E_CV_SRV_DATA_OPERATION_FAILED},
      {"permissionDenied", E_CV_SRV_PERMISSION_DENIED},
      {"serverDenyReadOnly", E_CV_SRV_SERVER_DENY_READ_ONLY},
      {"failureToApplyStub", E_CV_SRV_FAILURE_TO_APPLY_STUB},
      {"badStub", E_CV_SRV_BAD_STUB},
      {"getFileKeyFailed", E_CV_SRV_GET_FILE_KEY_FAILED},
      {"storageError", E_CV_SRV_STORAGE_ERROR},
      {"getFileInfoFailed", E_CV_SRV_GET_FILE_INFO_FAILED},
      {"serverError", E_CV_SRV_SERVER_ERROR},
      {"clientTokenExpired", E_CV_SRV_CLIENT_TOKEN_EXPIRED},
      {"methodVersionNotMatch", E_CV_SRV_METHOD_VERSION_NOT_MATCH},
      {"accountNotMatch", E_CV_SRV_ACCOUNT_NOT_MATCH},
      {"clientNoLogin", E_CV_SRV_CLIENT_NO_LOGIN},
      {"errorDeny", E_CV_SRV_ERROR_DENY},
      {"targetExist", E_CV_TARGET_EXISTS},
      {"targetNotExist", E_CV_TARGET_NOT_EXISTS},
      {"overSpace", E_CV_SRV_OVER_SPACE},
      {"fileVerConflict", E_CV_FILE_VER_CONFLICT},
      {"forbidden", E_CV_SRV_FORBIDDEN},
      {"parentNotExist", E_CV_PARENT_NOT_EXIST},
      {"emptyFile", E_CV_SRV_EMPTY_FILE},
      {"folderNonEmpty", E_CV_FOLDER_NON_EMPTY},
      {"uploadError", E_CV_SRV_UPLOAD_ERROR},
      {"fileMissInAgent", E_CV_SRV_FILE_MISS_IN_AGENT},
      {"timeout", E_CV_SRV_TIMEOUT},
      {"wssError", E_CV_SRV_WSS_ERROR},
  }};
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.word < b.word; });
  return rows;
}();

}  // namespace

const ServerResultMap& ServerResultMap::Instance() {
  // Never destroyed: a worker may still map a reply while the process exits.
  static const ServerResultMap* instance = new ServerResultMap();
  return *instance;
}

const ServerResultMap::Row* ServerResultMap::Rows(size_t* count) {
  *count = kRows.size();
  return kRows.data();
}

HRESULT ServerResultMap::operator[](const char* word) const {
  if (word == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: false");
    return E_FAIL;
  }
  return (*this)[std::string_view(word)];
}

HRESULT ServerResultMap::operator[](std::string_view word) const {
  auto it = std::lower_bound(kRows.begin(), kRows.end(), word,
                             [](const Row& row, std::string_view w) { return row.word < w; });
  if (it != kRows.end() && it->word == word) return it->code;
  OSTREL_LOG(kLogError, "%s", "*ASSERT*: false && L\"ServerResultMap::[] Catched UnKnown Server Error\"");
  std::string text(word);
  OSTREL_LOG(kLogError, "ServerResultMap::[] Catched UnKnown Server Error, Code = %s", text.c_str());
  return E_CV_SRV_UNKNOWN_WORD;
}
