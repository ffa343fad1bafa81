// The line a user reads for a result code: the system's own text where it has one for
// the code (the task-end texts), else the code's name and what it means. Every code,
// known or not, gets a line.
#pragma once

#include <string>

#include "common/resultcodes.h"

// "您的Sepra空间已满，当前操作失败。 (overSpace, 0x8004101A)"; for a code without a text of
// its own "serverBusy (0x80041003): the service is busy; try again later"; for an
// unknown code "0x8004ABCD: unknown result".
std::string ResultMessage(HRESULT result);

// The code's name ("overSpace", "E_FAIL"), or "" when it has none.
std::string ResultName(HRESULT result);
