// What a file task is made with besides its record: the sync centre through which it
// reaches the windows and the file-system facade, and the file system of its own
// local steps.
#pragma once

#include "platform/fileenv.h"

class ISyncCenter;

struct FileTaskOptions {
  // Hands out the shell adapter (IID_IShellAdapter: the question an upload onto an
  // existing name asks) and the file-system facade (IID_IFileSystem: the delete and
  // upload that answer leads to). Borrowed: it must outlive every task made with these
  // options. Null: the question counts as answered with cancel (-1).
  ISyncCenter* syncCenter = nullptr;
  // The file system of the task's copies, hashes, encodings and splits; must outlive
  // every task made with these options.
  FileEnv* env = FileEnv::Default();
};
