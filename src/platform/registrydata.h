// The contents of the registry store: keys (paths such as "Software\Ostrel\u1"), each
// holding named values that are strings or 32-bit numbers. Key and value names
// compare without regard to ASCII case, as the registry does; a name keeps the
// spelling it was first written with.
//
// Text form (UTF-8, one item a line; every name and string between double quotes
// with the escapes \\ \" \n \r \t and \xHH for other control bytes):
//
//   ; comment
//   ["Software\\Ostrel"]
//   "UserId"="u1"
//   "LoginMode"=dword:00000002
//
// Reading is lenient: a line that cannot be read is skipped (and counted), so a
// damaged file loses only what is damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

struct RegValue {
  enum class Type { kString, kDword };
  Type type = Type::kString;
  std::string text;     // kString
  uint32_t number = 0;  // kDword

  static RegValue String(std::string s) { return RegValue{Type::kString, std::move(s), 0}; }
  static RegValue Dword(uint32_t n) { return RegValue{Type::kDword, std::string(), n}; }
  friend bool operator==(const RegValue&, const RegValue&) = default;
};

class CRegistryData {
 public:
  // True when the key exists (it may hold no value).
  bool HasKey(std::string_view key) const;
  // The value, or null when the key or the value is absent.
  const RegValue* Find(std::string_view key, std::string_view name) const;
  // Creates the key when needed and sets the value.
  void Set(std::string_view key, std::string_view name, RegValue value);
  // Creates the key when needed.
  void CreateKey(std::string_view key);
  // Number of values in all keys.
  size_t ValueCount() const;

  std::string Serialize() const;
  // Replaces the contents by what the text holds; returns the number of lines that
  // could not be read.
  size_t Parse(std::string_view text);

 private:
  struct NoCaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  struct Named {
    std::string name;  // as first written
    RegValue value;
  };
  struct Key {
    std::string name;  // as first written
    std::map<std::string, Named, NoCaseLess> values;
  };
  Key& KeyFor(std::string_view key);

  std::map<std::string, Key, NoCaseLess> m_keys;
};
