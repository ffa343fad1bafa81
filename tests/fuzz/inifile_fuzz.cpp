// The private-profile reader: any bytes parse and answer look-ups without a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/inifile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CIniFile ini;
  ini.Parse(bytes);
  ini.GetInt("Ostrel", "LogLevel", 4);
  ini.GetString("Ostrel", "ServerRoot", "d");
  ini.GetString("", "", "d");
  ParseProfileInt(bytes);
  return 0;
}
