// Settings kept in the registry store under the key "Software\Ostrel" (global values)
// and its sub-keys named by user id (per-user values). Key and value names compare
// without regard to case: writing "userid" replaces "UserId".
//
// Reads never fail: a missing key or value, a value of the other type, or a store
// that cannot be read gives the default. Writes create the key and replace the store
// atomically; they return 0, or E_FAIL after a level-0 log line. Nothing is cached:
// every call reads the store again, so values written by another process are seen.
// Any thread may call; the store serialises writers, readers take no lock. The store is
// reached through the FileEnv given (the real file system by default).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

// Global values.
inline constexpr char kRegConfigPath[] = "ConfigPath";
inline constexpr char kRegUserId[] = "UserId";
inline constexpr char kRegLoginMode[] = "LoginMode";
inline constexpr char kRegProxyServerIP[] = "ProxyServerIP";
inline constexpr char kRegProxyServerPort[] = "ProxyServerPort";
inline constexpr char kRegProxyServerUserName[] = "ProxyServerUserName";
inline constexpr char kRegProxyServerPassword[] = "ProxyServerPassword";
inline constexpr char kRegProxyServerType[] = "ProxyServerType";
inline constexpr char kRegUploadSpeed[] = "UploadSpeed";
inline constexpr char kRegDownloadSpeed[] = "DownloadSpeed";
// Per-user values.
inline constexpr char kRegUserName[] = "UserName";
inline constexpr char kRegNickName[] = "NickName";
inline constexpr char kRegToken[] = "{5f3cde84-0629-43e4-8ec2-98524cf82edf}";
inline constexpr char kRegSyncRoot[] = "SyncRoot";

inline constexpr uint32_t kProxyTypeNone = 0xFFFFFFFF;    // ProxyServerType when none was chosen
inline constexpr uint32_t kDefaultSpeedLimit = 1048576;  // UploadSpeed and DownloadSpeed

// Strings longer than this many UTF-16 units are read whole but logged.
inline constexpr size_t kRegStringChars = 4096;

// The store's key for a sub-key: "Software\Ostrel", or "Software\Ostrel\<subKey>".
std::string RegKeyPath(const std::string& subKey);

// Reads a string value into *out, or defaultValue. With logFailure, a missing key or
// value is logged at level 9.
void GetRegValue(std::string* out, const std::string& subKey, const std::string& name,
                 const std::string& defaultValue, bool logFailure = false, FileEnv* env = FileEnv::Default());
// Reads a 32-bit value, or defaultValue.
uint32_t GetRegDWORD(const std::string& subKey, const std::string& name, uint32_t defaultValue,
                     bool logFailure = false, FileEnv* env = FileEnv::Default());
// True with *out when a 32-bit value is stored under the name.
bool FindRegDWORD(const std::string& subKey, const std::string& name, uint32_t* out,
                  FileEnv* env = FileEnv::Default());

HRESULT SetRegString(const std::string& subKey, const std::string& name, const std::string& text,
                     FileEnv* env = FileEnv::Default());
HRESULT SetRegDWORD(const std::string& subKey, const std::string& name, uint32_t number,
                    FileEnv* env = FileEnv::Default());

// One string value of the store: its sub-key (as for GetRegValue: "" is the root key),
// its name and a text.
struct RegString {
  std::string subKey;
  std::string name;
  std::string text;
};

// Compare-and-set over string values, under the store's lock and in one atomic
// replace: when every value of expected is stored with its text (a missing value, or
// one that is no string, counts as ""), writes every value of writes and returns S_OK;
// otherwise writes nothing and returns S_FALSE. current, when given, receives the texts
// of expected as they were stored at that moment, in order. When the store cannot be
// read or written: E_FAIL after a level-0 log line, nothing written, current emptied.
HRESULT CompareAndSetRegStrings(const std::vector<RegString>& expected, const std::vector<RegString>& writes,
                                std::vector<std::string>* current = nullptr, FileEnv* env = FileEnv::Default());

// The five proxy values (strings default empty, the type kProxyTypeNone); read from
// one reading of the store. Returns 0.
HRESULT LoadProxySettings(std::string* address, std::string* port, std::string* userName,
                          std::string* password, uint32_t* type, FileEnv* env = FileEnv::Default());
// Writes the five proxy values in one atomic replace: all of them or none.
HRESULT SaveProxySettings(const std::string& address, const std::string& port, const std::string& userName,
                          const std::string& password, uint32_t type, FileEnv* env = FileEnv::Default());

uint32_t GetUploadSpeed(FileEnv* env = FileEnv::Default());
uint32_t GetDownloadSpeed(FileEnv* env = FileEnv::Default());
HRESULT SetUploadSpeed(uint32_t bytesPerSecond, FileEnv* env = FileEnv::Default());
HRESULT SetDownloadSpeed(uint32_t bytesPerSecond, FileEnv* env = FileEnv::Default());
