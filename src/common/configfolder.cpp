#include "common/configfolder.h"

#include "common/registry.h"
#include "platform/homefolder.h"

std::string GetConfigFolder(FileEnv* env) {
  std::string configPath;
  GetRegValue(&configPath, "", kRegConfigPath, "", false, env);
  if (!configPath.empty()) return configPath;
  std::string base = GetXdgBaseFolder("XDG_DATA_HOME", ".local/share");
  if (base.back() != '/') base.push_back('/');
  return base + "Tarvelin/ostrel/";
}
