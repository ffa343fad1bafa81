// What the user is told when a file task (an upload or a download) has failed: the
// notice's text, picked by the task's result, and whether a message box comes first
// and the cached listings go (a session that expired).
#pragma once

#include <cstdint>
#include <string>

#include "common/resultcodes.h"

struct TaskErrorNotice {
  std::string text;
  bool showMessage = false;    // a modal message with the same text before the notice
  bool clearSnapshot = false;  // the local storage's cached listings are cleared first
};

// The notice for a task that ended with result (not S_OK). direction 1 is an upload,
// 0 a download; fullPath is the item's cloud path, whose last element names the file
// in the texts that name one.
TaskErrorNotice TaskErrorNoticeFor(HRESULT result, int32_t direction, const std::string& fullPath);

// "%s“%s”%s" of the verb, the name and the outcome ("失败", or "被取消" for a
// cancelled transfer): the text of a transfer that failed for a reason of its own.
std::string TransferFailedText(const std::string& verb, const std::string& name, HRESULT result);
