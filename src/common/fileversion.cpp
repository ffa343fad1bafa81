#include "common/fileversion.h"

#include "common/checks.h"
#include "common/strformat.h"
#include "ostrel_version.h"

namespace {

// True when path names the running executable.
bool IsRunningExecutable(FileEnv* env, const std::string& path) {
  std::string self, other;
  return env->RealPath("/proc/self/exe", &self) && env->RealPath(path, &other) && self == other;
}

}  // namespace

bool GetModuleVersion(uint16_t* major, uint16_t* minor, uint16_t* build, uint16_t* revision) {
  *major = OSTREL_VERSION_MAJOR;
  *minor = OSTREL_VERSION_MINOR;
  *build = OSTREL_VERSION_PATCH;
  *revision = OSTREL_VERSION_TWEAK;
  return true;
}

bool GetFileVersion(const std::string& path, uint16_t* major, uint16_t* minor, uint16_t* build, uint16_t* revision,
                    FileEnv* env) {
  bool bRet = IsRunningExecutable(env, path);
  ERROR_CHECK_BOOL_FLAG(bRet);
  return GetModuleVersion(major, minor, build, revision);
}

int CompareVersion(uint16_t a1, uint16_t a2, uint16_t a3, uint16_t a4, uint16_t b1, uint16_t b2, uint16_t b3,
                   uint16_t b4) {
  const uint16_t a[4] = {a1, a2, a3, a4}, b[4] = {b1, b2, b3, b4};
  for (int i = 0; i < 4; ++i)
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  return 0;
}

std::string GetClientVersionString() {
  uint16_t v[4] = {};
  bool bRet = GetModuleVersion(&v[0], &v[1], &v[2], &v[3]);
  ASSERT(bRet);
  if (!bRet) return std::string();
  return StringFormat("%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
}
