// Version numbers of the client.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fileenv.h"

// The four parts of a file's version. Only the running client carries a version here;
// any other file gives false ("ERROR_CHECK_BOOL:bRet"). The paths are resolved through env.
bool GetFileVersion(const std::string& path, uint16_t* major, uint16_t* minor, uint16_t* build, uint16_t* revision,
                    FileEnv* env = FileEnv::Default());
// The running client's version (from the build).
bool GetModuleVersion(uint16_t* major, uint16_t* minor, uint16_t* build, uint16_t* revision);
// 0 when equal, 1 when a is newer, -1 otherwise (major first).
int CompareVersion(uint16_t a1, uint16_t a2, uint16_t a3, uint16_t a4, uint16_t b1, uint16_t b2, uint16_t b3,
                   uint16_t b4);
// "%d.%d.%d.%d" of the running client.
std::string GetClientVersionString();
