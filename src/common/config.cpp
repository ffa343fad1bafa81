#include "common/config.h"

#include "common/log.h"
#include "common/strhelper.h"
#include "common/utf8.h"
#include "platform/inifile.h"

CConfig& CConfig::Instance() {
  // Immortal: threads may read settings while static objects are destroyed.
  static CConfig* instance = new CConfig(FileEnv::Default());
  return *instance;
}

void CConfig::Init(const std::string& rootPath) {
  if (rootPath.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: szRootPath");
  std::string path = JoinPath(rootPath, "config.ini");
  std::lock_guard<std::mutex> guard(m_mutex);
  m_strIniPath = std::move(path);
}

std::string CConfig::IniPath() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_strIniPath;
}

void CConfig::GetString(std::string* out, const std::string& section, const std::string& key,
                        const std::string& defaultValue, size_t bufferChars) {
  CIniFile ini(m_env);
  ini.Load(IniPath());
  std::string value = ini.GetString(section, key, defaultValue);
  if (bufferChars > 0 && Utf8ToUtf16(value).size() >= bufferChars)
    OSTREL_LOG(kLogWarn, "config.ini [%s] %s holds %zu bytes, more than %zu characters; read whole",
               section.c_str(), key.c_str(), value.size(), bufferChars - 1);
  if (out) *out = std::move(value);
}

int32_t CConfig::GetInt(const std::string& section, const std::string& key, int32_t defaultValue) {
  CIniFile ini(m_env);
  ini.Load(IniPath());
  return ini.GetInt(section, key, defaultValue);
}
