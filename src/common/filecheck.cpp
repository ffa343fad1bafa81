#include "common/checks.h"
#include "common/filehelper.h"
#include "common/sha1.h"

HRESULT GetFileSizeAndSha1(const std::string& path, int64_t* size, std::string* sha1,
                           const std::function<bool()>& cancel, FileEnv* env) {
  HRESULT hr = GetFileSizeByPath(path, size, env);
  ERROR_CHECK_COM(hr);
  hr = GetFileSha1(path, cancel, sha1, env);
  ERROR_CHECK_COM(hr);
  return S_OK;
}
