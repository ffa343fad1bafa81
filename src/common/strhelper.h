// String and path helpers. Paths are UTF-8 with "/" between elements; the "drive
// root" is "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

// True for null or "".
bool IsStrEmpty(const char* s);

// Three-way comparison of the bytes (<0, 0, >0); with ignoreCase, ASCII letters
// compare without case.
int StrCompare(std::string_view a, std::string_view b, bool ignoreCase);

// The text with ASCII letters in lower case; every other byte as it is.
std::string ToLowerAscii(std::string_view s);

// Replaces *out with the pieces between separators; empty pieces between two
// separators are kept, the tail after the last separator only when it is not empty
// ("a||b" -> a,"",b; "a|" -> a; "|a" -> "",a; "" -> none).
void SplitString(std::string_view text, char separator, std::vector<std::string>* out);

// Appends one "/" unless the path already ends in one; "" stays "" (it names no
// folder, and must never become the root).
void AddBackslash(std::string* path);

// folder and name joined by one "/" (none is added when folder is empty or already
// ends in "/").
std::string JoinPath(std::string folder, std::string_view name);

// The path without its trailing "/"s; the root stays "/".
std::string WithoutTrailingSlash(std::string path);

// The path less one trailing "/" and less its last element: "/a/b/" -> "/a",
// "/a" -> "/", "a" -> "", and "" for "" and "/".
std::string GetParentPath(const std::string& fullPath);

// The text after the last "/" (one trailing "/" removed first), or the whole text;
// "" for "" and "/".
std::string GetFileNameFromPath(const std::string& fullPath);

// The byte index of the dot that begins the extension of the last path element, or -1.
// The extension starts at the last '.' of the last element (elements end at "/" or
// "\"); a space after that dot means no extension; ".profile" has the extension
// ".profile"; "file." has ".".
int GetFileExtensionPos(std::string_view path);

// The extension with its dot, or "" when there is none.
std::string GetFileExtension(const std::string& path);

// Reads a decimal text of the service that must be plain: digits only (no sign, space
// or other character), not empty, and at most max. False, *value untouched, otherwise.
bool ParsePlainDecimal(std::string_view text, uint64_t max, int64_t* value);
// A version of the service (opVer, shareVer, fileVer): a plain decimal of at most
// 2^53, the largest a counter can reach while every stored copy stays exact.
inline constexpr uint64_t kMaxServiceVersion = uint64_t{1} << 53;
inline bool ParseServiceVersion(std::string_view text, int64_t* value) {
  return ParsePlainDecimal(text, kMaxServiceVersion, value);
}

// Lower-case hexadecimal text of the bytes, two digits a byte.
std::string BytesToHex(const uint8_t* bytes, size_t count);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);

// True when a is earlier than b, comparing year, month, day, hour, minute and second
// (nothing finer).
bool SystemTimeLess(const LocalTime& a, const LocalTime& b);
