// The requester of the account's global version: one XML request on the API root,
// sent through IRemoteStorage::HttpRequest.
#pragma once

#include <string>

#include "common/resultcodes.h"

class IRemoteStorage;

namespace RMT_FS {

struct GlobalVersionGetter {
  std::string m_strToken;           // given by the caller
  std::string m_strGlobalVersion;   // set by a successful Perform

  // POST ServerRoot + "/xsvr/getGlobalVersion" (header version 2, body with the
  // token; 30 s). S_OK with m_strGlobalVersion set from the reply's globalVersion; on
  // failure the transport's, the parser's or the result word's code, and
  // m_strGlobalVersion keeps its value.
  HRESULT Perform(IRemoteStorage* pRS);
};

}  // namespace RMT_FS
