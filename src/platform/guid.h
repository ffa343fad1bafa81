// New random GUIDs (version 4, from getrandom) in registry form:
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters, upper-case hex.
#pragma once

#include <string>

std::string NewGuidString();
