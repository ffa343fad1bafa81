// Text helpers of the request frame: percent-encoding, key=value and header texts
// joined by "&", the parser of key=value replies, decimal integers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// True for bytes 0x00-0x1F, 0x7F-0xFF, '#' and the characters & blank = % . / + ` { } | [ ]
// " < > \ ^ ;
bool NeedsPercentEncoding(unsigned char c);
// Copies src, replacing each byte that needs it by "%" and two lower-case hex digits.
void PercentEncode(std::string_view src, std::string* out);
// Copies src, replacing "%" and up to two hex digits by that byte ("?" when no hex
// digit follows); the two characters after "%" (fewer at the end) are consumed either
// way. out must not be null.
void PercentDecode(std::string_view src, std::string* out);

// Each appends "&" first when *text is not empty.
// Ready "k=v&k2=v2" or "f:v" text, unchanged; an empty one appends nothing.
void AppendKeyValuePairs(std::string* text, std::string_view pairs);
// key "=" value (the value percent-encoded with encode; nothing after "=" when empty).
void AppendKeyValue(std::string* text, std::string_view key, std::string_view value, bool encode);
// The same with UTF-16 key and value, converted to UTF-8 first.
void AppendKeyValueW(std::string* text, std::u16string_view key, std::u16string_view value, bool encode);
// key ":" value, as AppendKeyValue.
void AppendHeaderField(std::string* text, std::string_view field, std::string_view value, bool encode);
// "v:<version>&User-Agent:ostrel".
void SetCommonHeaders(std::string* text, int version);

// Decimal text of a 32-bit integer.
std::string IntToString(int32_t value);

// An ordered map of key=value pairs parsed from "k=v&k2=v2".
class CKeyValueMap {
 public:
  CKeyValueMap();
  // Empties the map, then reads pairs up to the first segment without "=" (it and
  // all later segments are ignored). A value may hold "="; with decode, non-empty
  // values are percent-decoded ("+" stays "+"), cut at a decoded NUL, and bytes that
  // are not UTF-8 become U+FFFD. A repeated key keeps its last value.
  void Parse(std::string_view text, bool decode);
  std::string GetValue(const std::string& key, const std::string& defaultValue) const;
  const std::map<std::string, std::string>& Items() const { return m_items; }

 private:
  std::map<std::string, std::string> m_items;
  char m_kvSeparator = '=';
  char m_pairSeparator = '&';
};
