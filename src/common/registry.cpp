#include "common/registry.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "common/checks.h"
#include "common/log.h"
#include "common/utf8.h"
#include "platform/registrystore.h"

namespace {

constexpr char kRootKey[] = "Software\\Ostrel";

void AssertName(const std::string& name) {
  if (name.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szKey)");
}

// Reads the store; an unreadable store reads as empty (and is logged when asked).
bool ReadStore(FileEnv* env, CRegistryData* data) {
  CRegistryStore store(CRegistryStore::DefaultPath(), env);
  size_t bad = 0;
  if (!store.Read(data, &bad)) {
    OSTREL_LOG(kLogWarn, "registry store %s cannot be read (errno %d); defaults are used", store.Path().c_str(),
               errno);
    return false;
  }
  if (bad > 0)
    OSTREL_LOG(kLogWarn, "registry store %s: %zu damaged lines skipped", store.Path().c_str(), bad);
  return true;
}

// The value when present with the wanted type; logs the Part's failure lines when asked.
const RegValue* Lookup(const CRegistryData& data, const std::string& subKey, const std::string& name,
                       RegValue::Type type, bool logFailure) {
  std::string key = RegKeyPath(subKey);
  if (!data.HasKey(key)) {
    if (logFailure) OSTREL_LOG(kLogTrace, "%s", "Open Register HKEY_CURRENT_USER\\Software\\Ostrel Failed!");
    return nullptr;
  }
  const RegValue* v = data.Find(key, name);
  if (!v || v->type != type) {
    if (logFailure)
      OSTREL_LOG(kLogTrace, "Get Register Key/Value HKEY_CURRENT_USER\\Software\\Ostrel\\%s Failed!", name.c_str());
    return nullptr;
  }
  return v;
}

std::string StringOr(const CRegistryData& data, const std::string& subKey, const std::string& name,
                     const std::string& defaultValue, bool logFailure) {
  const RegValue* v = Lookup(data, subKey, name, RegValue::Type::kString, logFailure);
  if (!v) return defaultValue;
  if (Utf8ToUtf16(v->text).size() >= kRegStringChars)
    OSTREL_LOG(kLogWarn, "registry value %s holds %zu bytes, more than %zu characters; read whole", name.c_str(),
               v->text.size(), kRegStringChars - 1);
  return v->text;
}

uint32_t DwordOr(const CRegistryData& data, const std::string& subKey, const std::string& name, uint32_t defaultValue,
                 bool logFailure) {
  const RegValue* v = Lookup(data, subKey, name, RegValue::Type::kDword, logFailure);
  return v ? v->number : defaultValue;
}

// Applies change in one replace of the store, under its lock; logs a failure, naming
// the value firstName in the line of a failed write.
HRESULT UpdateStore(FileEnv* env, const std::function<void(CRegistryData&)>& change, const std::string& firstName) {
  CRegistryStore store(CRegistryStore::DefaultPath(), env);
  CRegistryStore::UpdateResult r = store.Update(change);
  int err = errno;
  for (const auto& left : store.UnremovedTemps())
    OSTREL_LOG(kLogWarn, "registry store %s: stale temp file %s cannot be removed (%s)", store.Path().c_str(),
               left.path.c_str(), std::strerror(left.error));
  switch (r) {
    case CRegistryStore::UpdateResult::kOk:
      return S_OK;
    case CRegistryStore::UpdateResult::kOpenFailed:
      OSTREL_LOG(kLogError, "ERROR_CHECK_BOOLEX:lResult == ERROR_SUCCESSMSG: %s (%s: %s)",
                 "Create Register HKEY_CURRENT_USER\\Software\\Ostrel Failed!", store.Path().c_str(), std::strerror(err));
      return E_FAIL;
    case CRegistryStore::UpdateResult::kWriteFailed:
      break;
  }
  OSTREL_LOG(kLogError,
             "ERROR_CHECK_BOOLEX:lResult == ERROR_SUCCESSL\"Set Register Key/Value "
             "HKEY_CURRENT_USER\\\\Software\\\\Ostrel\\\\%s Failed!\" (%s: %s)",
             firstName.c_str(), store.Path().c_str(), std::strerror(err));
  return E_FAIL;
}

// Writes every value under one key in one replace of the store.
HRESULT WriteValues(FileEnv* env, const std::string& subKey,
                    const std::vector<std::pair<std::string, RegValue>>& values) {
  const std::string key = RegKeyPath(subKey);
  return UpdateStore(
      env,
      [&](CRegistryData& data) {
        data.CreateKey(key);
        for (const auto& [name, value] : values) data.Set(key, name, value);
      },
      values.empty() ? std::string() : values.front().first);
}

}  // namespace

std::string RegKeyPath(const std::string& subKey) {
  return subKey.empty() ? std::string(kRootKey) : std::string(kRootKey) + "\\" + subKey;
}

void GetRegValue(std::string* out, const std::string& subKey, const std::string& name,
                 const std::string& defaultValue, bool logFailure, FileEnv* env) {
  AssertName(name);
  CRegistryData data;
  ReadStore(env, &data);
  std::string value = StringOr(data, subKey, name, defaultValue, logFailure);
  if (out) *out = std::move(value);
}

uint32_t GetRegDWORD(const std::string& subKey, const std::string& name, uint32_t defaultValue, bool logFailure,
                     FileEnv* env) {
  AssertName(name);
  CRegistryData data;
  ReadStore(env, &data);
  return DwordOr(data, subKey, name, defaultValue, logFailure);
}

bool FindRegDWORD(const std::string& subKey, const std::string& name, uint32_t* out, FileEnv* env) {
  AssertName(name);
  CRegistryData data;
  ReadStore(env, &data);
  const RegValue* v = Lookup(data, subKey, name, RegValue::Type::kDword, false);
  if (v && out) *out = v->number;
  return v != nullptr;
}

HRESULT SetRegString(const std::string& subKey, const std::string& name, const std::string& text, FileEnv* env) {
  if (name.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szKey) && szValue");
  return WriteValues(env, subKey, {{name, RegValue::String(text)}});
}

HRESULT SetRegDWORD(const std::string& subKey, const std::string& name, uint32_t number, FileEnv* env) {
  AssertName(name);
  return WriteValues(env, subKey, {{name, RegValue::Dword(number)}});
}

HRESULT CompareAndSetRegStrings(const std::vector<RegString>& expected, const std::vector<RegString>& writes,
                                std::vector<std::string>* current, FileEnv* env) {
  std::vector<std::string> seen;
  bool matched = false;
  const HRESULT hr = UpdateStore(
      env,
      [&](CRegistryData& data) {
        seen.clear();
        matched = true;
        for (const RegString& value : expected) {
          const RegValue* stored = data.Find(RegKeyPath(value.subKey), value.name);
          seen.push_back(stored && stored->type == RegValue::Type::kString ? stored->text : std::string());
          matched = matched && seen.back() == value.text;
        }
        if (!matched) return;
        for (const RegString& value : writes) {
          const std::string key = RegKeyPath(value.subKey);
          data.CreateKey(key);
          data.Set(key, value.name, RegValue::String(value.text));
        }
      },
      writes.empty() ? std::string() : writes.front().name);
  if (FAILED(hr)) seen.clear();
  if (current) *current = std::move(seen);
  if (FAILED(hr)) return hr;
  return matched ? S_OK : S_FALSE;
}

HRESULT LoadProxySettings(std::string* address, std::string* port, std::string* userName, std::string* password,
                          uint32_t* type, FileEnv* env) {
  CRegistryData data;
  ReadStore(env, &data);
  if (address) *address = StringOr(data, "", kRegProxyServerIP, "", false);
  if (port) *port = StringOr(data, "", kRegProxyServerPort, "", false);
  if (userName) *userName = StringOr(data, "", kRegProxyServerUserName, "", false);
  if (password) *password = StringOr(data, "", kRegProxyServerPassword, "", false);
  if (type) *type = DwordOr(data, "", kRegProxyServerType, kProxyTypeNone, false);
  return S_OK;
}

HRESULT SaveProxySettings(const std::string& address, const std::string& port, const std::string& userName,
                          const std::string& password, uint32_t type, FileEnv* env) {
  HRESULT hr = WriteValues(env, "", {{kRegProxyServerIP, RegValue::String(address)},
                                {kRegProxyServerPort, RegValue::String(port)},
                                {kRegProxyServerUserName, RegValue::String(userName)},
                                {kRegProxyServerPassword, RegValue::String(password)},
                                {kRegProxyServerType, RegValue::Dword(type)}});
  ERROR_CHECK_COM(hr);
  return S_OK;
}

uint32_t GetUploadSpeed(FileEnv* env) { return GetRegDWORD("", kRegUploadSpeed, kDefaultSpeedLimit, false, env); }
uint32_t GetDownloadSpeed(FileEnv* env) {
  return GetRegDWORD("", kRegDownloadSpeed, kDefaultSpeedLimit, false, env);
}
HRESULT SetUploadSpeed(uint32_t bytesPerSecond, FileEnv* env) {
  return SetRegDWORD("", kRegUploadSpeed, bytesPerSecond, env);
}
HRESULT SetDownloadSpeed(uint32_t bytesPerSecond, FileEnv* env) {
  return SetRegDWORD("", kRegDownloadSpeed, bytesPerSecond, env);
}
