#include "core/remotestorage/globalversiongetter.h"

#include "common/checks.h"
#include "common/tracestack.h"
#include "common/xmlhelper.h"
#include "core/interfaces/iremotestorage.h"
#include "core/remotestorage/requestframe.h"
#include "core/remotestorage/serverresultmap.h"

namespace RMT_FS {

HRESULT GlobalVersionGetter::Perform(IRemoteStorage* pRS) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE("GlobalVersionGetter::Perform", &hr);
  if (pRS == nullptr) {
    OSTREL_LOG(kLogError, "%s", "*ASSERT*: pRS");
    return hr;
  }
  RecordTree request("nuvra");
  request.AddValue("token", m_strToken);
  std::string body;
  hr = MakeRequestBody(request, &body);
  if (FAILED(hr)) return hr;
  std::string url = GetServerRootUrl("/xsvr/getGlobalVersion");
  std::string reply;
  hr = pRS->HttpRequest(url, MakeRequestHeader(2), &body, nullptr, nullptr, &reply, 30);
  ERROR_CHECK_COM(hr);

  RecordTree result;
  hr = ParseXmlToRecordTree(&result, reply);
  ERROR_CHECK_COM(hr);
  std::string word = result.GetAttribute("result");
  hr = ServerResultMap::Instance()[word];
  if (FAILED(hr)) {
    OSTREL_LOG(kLogError,
               "ERROR_CHECK_COM: hr = %x :L\"RMT_FS::GlobalversionGetter Failed, URL = %s, Param = %s, "
               "ResultCode = '%s'\"",
               static_cast<unsigned>(hr), url.c_str(), MaskSecrets(body).c_str(), word.c_str());
    return hr;
  }
  m_strGlobalVersion = result.GetValue("globalVersion");
  return hr;
}

}  // namespace RMT_FS
