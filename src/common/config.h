// config.ini: settings the user may edit in the configuration folder and the program
// only reads. Nothing is cached: every read goes to the file, and a missing file or
// key gives the default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/fileenv.h"

// Sections and keys.
inline constexpr char kIniSectionOstrel[] = "Ostrel";
inline constexpr char kIniSectionShell[] = "TevokShell";
inline constexpr char kIniLogLevel[] = "LogLevel";
inline constexpr char kIniLogSaveDate[] = "LogSaveDate";
inline constexpr char kIniCrashReport[] = "CrashReport";
inline constexpr char kIniCrashReportDialog[] = "CrashReportDialog";
inline constexpr char kIniUpdate[] = "Update";
inline constexpr char kIniServerRoot[] = "ServerRoot";
inline constexpr char kIniPushNotifyRoot[] = "PushNotifyRoot";
inline constexpr char kIniThumbnailRoot[] = "ThumbnailRoot";
inline constexpr char kIniWebServerRoot[] = "WebServerRoot";

// Defaults.
inline constexpr int32_t kDefaultLogLevel = 4;
inline constexpr int32_t kDefaultLogSaveDate = 3;
inline constexpr int32_t kDefaultCrashReport = 1;
inline constexpr int32_t kDefaultCrashReportDialog = 0;
// Built-in service addresses, each overridden by its key. They name no real service:
// an installation sets its own in config.ini.
inline constexpr char kDefaultUpdateRoot[] = "https://update.ostrel.example.com";
inline constexpr char kDefaultServerRoot[] = "https://api.ostrel.example.com";
inline constexpr char kDefaultPushNotifyRoot[] = "https://push.ostrel.example.com";
inline constexpr char kDefaultThumbnailRoot[] = "https://thumb.ostrel.example.com";
inline constexpr char kDefaultWebServerRoot[] = "https://www.ostrel.example.com";
// The length the addresses are expected to stay within, in characters.
inline constexpr size_t kIniPathChars = 260;

// The process-wide reader of config.ini; Init is called once at start-up, reads may
// come from any thread.
class CConfig {
 public:
  // The process-wide reader, on the real file system.
  static CConfig& Instance();
  // A reader of its own that reads config.ini through env, which must outlive it.
  explicit CConfig(FileEnv* env) : m_env(env) {}

  // Reads config.ini in rootPath from now on ("*ASSERT*: szRootPath" when empty).
  void Init(const std::string& rootPath);
  std::string IniPath();

  // The value of the key, or defaultValue. A value of bufferChars characters or more
  // is returned whole, with a log line (an address cut short would point elsewhere).
  void GetString(std::string* out, const std::string& section, const std::string& key,
                 const std::string& defaultValue, size_t bufferChars = kIniPathChars);
  // The value read as a private-profile number, or defaultValue when it is missing
  // or empty ("-1" is -1).
  int32_t GetInt(const std::string& section, const std::string& key, int32_t defaultValue);

 private:
  FileEnv* m_env;
  std::mutex m_mutex;
  std::string m_strIniPath;
};
