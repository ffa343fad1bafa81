// The form-field text of an upload: "name=value&name=value" with percent-escaped values.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The pairs in order. Each name ends at '=', each value at the next '&' or the end of
// the text; a last name whose value is missing or empty is dropped.
std::vector<std::pair<std::string, std::string>> SplitKeyValues(std::string_view text);

// Each '%' and the two characters after it become the byte they spell in hexadecimal,
// or '?' when they are not two hexadecimal digits; '+' stays '+'.
std::string DecodeFormValue(std::string_view value);
