#include "core/remotestorage/requestframe.h"

#include "common/config.h"
#include "common/httpcallhelper.h"
#include "common/log.h"
#include "common/xmlhelper.h"
#include "core/remotestorage/clsfactory.h"

namespace {

std::string RootPlusPath(const char* key, const char* defaultRoot, std::string_view path) {
  std::string root;
  CConfig::Instance().GetString(&root, kIniSectionOstrel, key, defaultRoot, kIniPathChars);
  root.append(path);
  return root;
}

struct Secret {
  std::string_view name;
  std::string_view mask;
};
constexpr Secret kSecrets[] = {
    {"password", "__password__"},
    {"token", "__token__"},
    {"fileKey", "__filekey__"},
};

// Replaces every text between `open` and the next `close` (or the end) by mask.
void MaskBetween(std::string* text, const std::string& open, const std::string& close, std::string_view mask,
                 bool openAtBoundary) {
  size_t pos = 0;
  while ((pos = text->find(open, pos)) != std::string::npos) {
    if (openAtBoundary && pos > 0 && (*text)[pos - 1] != '?' && (*text)[pos - 1] != '&') {
      pos += open.size();
      continue;
    }
    size_t start = pos + open.size();
    size_t end = close.empty() ? std::string::npos : text->find(close, start);
    if (end == std::string::npos) end = text->size();
    text->replace(start, end - start, mask);
    pos = start + mask.size();
  }
}

}  // namespace

std::string GetServerRootUrl(std::string_view path) {
  return RootPlusPath(kIniServerRoot, kDefaultServerRoot, path);
}

std::string GetPushNotifyRoot(std::string_view path) {
  return RootPlusPath(kIniPushNotifyRoot, kDefaultPushNotifyRoot, path);
}

std::string GetThumbnailRoot(std::string_view path) {
  return RootPlusPath(kIniThumbnailRoot, kDefaultThumbnailRoot, path);
}

std::string MakeRequestHeader(int version) {
  std::string header;
  SetCommonHeaders(&header, version);
  return header;
}

HRESULT MakeRequestBody(const RecordTree& request, std::string* body) {
  if (!IsRecordTreeXmlSafe(request)) {
    OSTREL_LOG(kLogWarn, "%s",
               "ERROR_CHECK_BOOLEX:IsRecordTreeXmlSafe(request)MSG: a request value is not UTF-8 or holds "
               "control characters");
    return E_INVALIDARG;
  }
  *body = RecordTreeToXmlDocument(request);
  return S_OK;
}

bool IsRawQueryValueSafe(std::string_view value) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F || c == ' ' || c == '#' || c == '&') return false;
  }
  return true;
}

std::string MaskSecrets(std::string_view text) {
  std::string out(text);
  for (const Secret& s : kSecrets) {
    std::string name(s.name);
    MaskBetween(&out, "<" + name + ">", "</" + name + ">", s.mask, false);
    MaskBetween(&out, name + "=", "&", s.mask, true);
    MaskBetween(&out, "\"" + name + "\":\"", "\"", s.mask, false);
  }
  return out;
}

HRESULT NewTransport(RefPtr<ITransport>* transport, TransportProgressCallback callback, void* context) {
  HRESULT hr = CClsFactory::GetInstance().CreateTransport(transport->Receive());
  if (SUCCEEDED(hr) && !*transport) hr = E_FAIL;
  if (FAILED(hr)) {
    OSTREL_LOG(kLogError, "ERROR_CHECK_COM: hr = %x MSG: %s", static_cast<unsigned>(hr), "Create CTransport Failed!");
    return hr;
  }
  if (callback) (*transport)->SetProgressCallback(callback, context);
  return hr;
}
