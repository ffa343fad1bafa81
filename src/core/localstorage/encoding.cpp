// CLocalStorage: the file encoding for the service.
#include "common/checks.h"
#include "common/strhelper.h"
#include "common/tracestack.h"
#include "core/encrypt/encodefile.h"
#include "core/localstorage/localstorage.h"

// File keys never reach the log: traces show this in their place.
static constexpr char kMaskedKey[] = "__key__";

HRESULT CLocalStorage::EncodeFile(const std::string& fileName, const std::string& srcFile, const std::string& desFile,
                                  const std::string& fileKey) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::EncodeFile()", &hr, "SrcFile = %s, DesFile = %s, FileKey = %s", srcFile.c_str(),
                     desFile.c_str(), kMaskedKey);
  const char* szFileName = fileName.c_str();
  const char* szSrcFile = srcFile.c_str();
  const char* szDesFile = desFile.c_str();
  const char* szFileKey = fileKey.c_str();
  ASSERT(!IsStrEmpty(szFileName));
  ASSERT(!IsStrEmpty(szSrcFile));
  ASSERT(!IsStrEmpty(szDesFile));
  ASSERT(!IsStrEmpty(szFileKey));
  hr = ::EncodeFile(fileName, srcFile, desFile, fileKey, false, m_env);
  ERROR_CHECK_COM(hr);
  return hr;
}

HRESULT CLocalStorage::DecodeFile(const std::string& srcFile, const std::string& desFile, const std::string& fileKey) {
  HRESULT hr = E_FAIL;
  TRACE_SCOPE_DETAIL("CLocalStorage::DecodeFile()", &hr, "SrcFile = %s, DesFile = %s, FileKey = %s", srcFile.c_str(),
                     desFile.c_str(), kMaskedKey);
  const char* szSrcFile = srcFile.c_str();
  const char* szDesFile = desFile.c_str();
  const char* szFileKey = fileKey.c_str();
  ASSERT(!IsStrEmpty(szSrcFile));
  ASSERT(!IsStrEmpty(szDesFile));
  ASSERT(!IsStrEmpty(szFileKey));
  hr = ::DecodeFile(srcFile, desFile, fileKey, kDecodeDefaultCap, m_env);
  ERROR_CHECK_COM(hr);
  return hr;
}
