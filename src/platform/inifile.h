// A reader of private-profile files (config.ini): "[section]" lines and "key=value"
// lines, read the way the private-profile functions read them.
//
// - Section and key names compare without regard to ASCII case; the first occurrence
//   of a key wins (sections of the same name count as one, in file order).
// - Blanks (spaces and tabs) around names and values are dropped; one pair of
//   matching quotes ('"' or '\'') around a whole value is removed.
// - Lines whose first non-blank character is ';' are comments; a ';' later in a line
//   belongs to the value. Lines before the first section, lines without '=' and
//   lines that cannot be read are ignored.
// - Lines end in LF or CRLF. A UTF-8 byte-order mark is skipped; a file that starts
//   with a UTF-16LE byte-order mark is read as UTF-16LE. Values are UTF-8.
//
// The reader never writes; a missing or unreadable file reads as empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fileenv.h"

class CIniFile {
 public:
  // Files larger than this read as empty: the file is settings text, not data.
  static constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;

  // Files are read through env, which must outlive the object.
  explicit CIniFile(FileEnv* env = FileEnv::Default()) : m_env(env) {}

  // Reads the file at path, replacing what was read before. False (and empty
  // contents) when the file is missing, too large or cannot be read.
  bool Load(const std::string& path);
  // Reads file contents given as bytes.
  void Parse(std::string_view bytes);

  // The value of the key, or nothing when the section or key is absent. A key that
  // is present with an empty value gives "".
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // The value, or defaultValue when the key is absent.
  std::string GetString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  // The value read as a number by ParseProfileInt; defaultValue when the key is
  // absent or its value empty.
  int32_t GetInt(std::string_view section, std::string_view key, int32_t defaultValue) const;

 private:
  struct Entry {
    std::string section;
    std::string key;
    std::string value;
  };
  std::vector<Entry> m_entries;  // in file order
  FileEnv* m_env;
};

// A private-profile number: optional sign, then decimal digits or "0x" and hex
// digits; reading stops at the first other character; no digits give 0. The digits
// are taken modulo 2^32 and the result read as signed, so "-1" and "0xFFFFFFFF" are
// both -1. Leading blanks are skipped.
int32_t ParseProfileInt(std::string_view text);
