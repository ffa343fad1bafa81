// The transfer commands: put, get, edit, and the task list's tasks, cancel, retry.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/cloudresolver.h"
#include "app/commands.h"
#include "app/folderuploadcheck.h"
#include "app/itemoutput.h"
#include "app/progressbar.h"
#include "app/resultmessages.h"
#include "app/transferwait.h"
#include "common/pathcheck.h"
#include "core/filesystem/transfers.h"
#include "common/sha1.h"
#include "common/strhelper.h"
#include "core/interfaces/taskdata.h"
#include "core/logicadapter/logicadapter.h"
#include "platform/fileenv.h"

namespace {

// How long edit waits for what the engine does at once after a step it has seen end:
// the opener's start after the download, the listing of the opened file after the
// opener's return, the upload of a changed file after the program is done. Past it,
// edit says that it did not happen (a file never seen listed is taken as done).
constexpr std::chrono::milliseconds kEditUploadQueueWait{10000};

// The view the command's cloud paths are read in: the own files, or with
// --shared-to-me the items others share with the user.
ItemSpace ViewOf(const ParsedCommandLine& cmd) {
  return cmd.Has("--shared-to-me") ? ItemSpace::ShareToMe : ItemSpace::MyFile;
}

// In the view of items shared with the user, the root lists the people who share
// something, and each of its folders what one of them shares: neither is a folder or
// file of its own. When path is one of them: a failure line saying that it is not
// wanted ("a folder to upload into"), and true. Nothing is asked of the service.
bool RefuseSharerLevel(const AppContext& ctx, const std::string& command, ItemSpace space, const CloudPath& path,
                       const std::string& wanted) {
  if (space != ItemSpace::ShareToMe || path.Elements().size() > 1) return false;
  if (path.IsRoot()) {
    Fail(ctx, command, "\"/\" of the items shared with you lists who shares with you; it is not " + wanted +
                           " (name one of the shared items: \"/SHARER/NAME\")");
  } else {
    Fail(ctx, command, "\"" + PrintableText(path.Display()) +
                           "\" lists what one person shares with you; it is not " + wanted +
                           " (name one of the shared items in it)");
  }
  return true;
}

// Reads typed as a cloud path of the view and finds its item; a failure line and false
// when it is no path, names a sharer's level of the shared view (see
// RefuseSharerLevel), or is not found.
bool ResolveItem(const AppContext& ctx, const std::string& command, const std::string& typed, ItemSpace space,
                 const std::string& wanted, ResolvedItem* item) {
  CloudPath path;
  std::string error;
  if (!CloudPath::Parse(typed, &path, &error)) {
    Fail(ctx, command, "\"" + PrintableText(typed) + "\": " + error);
    return false;
  }
  if (RefuseSharerLevel(ctx, command, space, path, wanted)) return false;
  const HRESULT hr = ResolveCloudPath(*ctx.adapter, space, path, item, &error);
  if (FAILED(hr)) {
    Fail(ctx, command, error.empty() ? ResultLine(ctx, hr) : error);
    return false;
  }
  return true;
}

// The last element of a local path ("a/b/" -> "b"); "" for "/".
std::string LocalName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder of a local path ("a/b" -> "a", "b" -> ".", "/b" -> "/").
std::string LocalFolderOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string JoinLocal(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The wait for the command's transfers, which its Ctrl-C cancels.
TransferWaitPolicy WaitPolicy(const AppContext& ctx) {
  TransferWaitPolicy policy;
  policy.interrupt = ctx.interrupt;
  return policy;
}

CProgressBar MakeBar(const AppContext& ctx) {
  return CProgressBar(ctx.outFd, isatty(ctx.outFd) == 1, std::chrono::milliseconds(ctx.global.progressDelayMs));
}

// Reports the ended tasks: a line per failure, a line per file the service kept as it
// was (the task uploaded nothing), and the summary; the exit status. leftOut, given by
// put, counts the entries it has reported as left out already: the summary then says
// how many entries were left out, those and the failed tasks together.
int ReportTasks(const AppContext& ctx, const std::string& command, const std::vector<TaskListEntry>& tasks,
                const char* verb, std::optional<size_t> leftOut = std::nullopt) {
  int status = kExitOk;
  int64_t bytes = 0;
  // A file counts once, also when its task handed it on to another (a replace).
  std::set<std::string> files, kept;
  size_t failed = 0;
  for (const auto& task : tasks) {
    if (task.hrResult == S_OK) {
      files.insert(task.strFullPath);
      bytes += task.nTotalSize;
    } else if (task.hrResult == S_FALSE) {
      kept.insert(task.strFullPath);
    } else {
      ++failed;
      status = Fail(ctx, command, PrintableText(DisplayFromEngineForm(task.strFullPath)) + ": " +
                                      ResultMessage(task.hrResult));
    }
  }
  for (const auto& path : kept)
    if (!files.count(path))
      ctx.window->Say("Kept " + PrintableText(DisplayFromEngineForm(path)) +
                      " as it is in the cloud; nothing was uploaded");
  // The bytes are the transfers' own totals: those that went over the network (packed
  // and enciphered) on the whole-file protocol, the files' sizes on the block protocol.
  const size_t ok = files.size();
  const size_t left = leftOut ? *leftOut + failed : 0;
  std::string summary;
  if (ok) summary = std::string(verb) + " " + std::to_string(ok) + (ok == 1 ? " file" : " files") + " (" +
                    HumanBytes(bytes) + " transferred)";
  if (left)
    summary += std::string(ok ? "; left" : "Left") + " out " + std::to_string(left) +
               (left == 1 ? " entry" : " entries") + " (see above)";
  if (!summary.empty()) ctx.window->Say(summary);
  return status;
}

// A local folder handed to the folder upload, and what that answered.
struct FolderUpload {
  std::string local;
  std::string cloud;  // engine form
  HRESULT hr;
};

// Names, through leaveOut (local path, why), every entry of the folder upload that did
// not become a transfer, queued holding the cloud paths of the transfers queued. The
// upload's own code is that of its last entry; it is reported for the folder itself,
// which then stands for all its entries, when nothing explains it: no entry was left
// out, or no file of it was queued at all (the folder was not made, or the merge into
// an existing one was declined).
template <typename LeaveOut>
void ReportFolderLeftOut(const AppContext& ctx, const FolderUpload& upload, const std::set<std::string>& queued,
                         LeaveOut&& leaveOut) {
  const FolderUploadCheck check = CheckFolderUpload(FileEnv::Default(), upload.local, upload.cloud, queued);
  const bool nothingLeftOut = check.refused.empty() && check.unqueued.empty();
  const bool noneQueued = check.queued == 0 && !check.unqueued.empty();
  const bool folderFailed = FAILED(upload.hr) && (nothingLeftOut || noneQueued);
  if (folderFailed) return leaveOut(upload.local, ResultLine(ctx, upload.hr));
  for (const auto& entry : check.refused) leaveOut(entry.localPath, entry.why);
  for (const auto& path : check.unqueued)
    leaveOut(path, "no upload was queued for it (its folder may not have been made; the log says why)");
}

// The failure line of an edit that Ctrl-C stopped while the program had the file or
// before its upload began.
int EditInterrupted(const AppContext& ctx, const std::string& display, const std::string& localPath) {
  return Fail(ctx, "edit", display + ": cancelled; " +
                               (ctx.inShell ? std::string("the changes are uploaded when the program is done (see \"tasks\")")
                                            : "changes not uploaded stay in " + PrintableText(localPath)));
}

bool HasOpenEntry(CLogicAdapter& adapter, const std::string& fileId) {
  std::vector<TaskListEntry> files;
  adapter.GetOpenFileList(&files);
  for (const auto& file : files)
    if (file.strId == fileId) return true;
  return false;
}

}  // namespace

int CmdPut(AppContext& ctx, const ParsedCommandLine& cmd) {
  ResolvedItem folder;
  if (!ResolveItem(ctx, "put", cmd.args.back(), ViewOf(cmd), "a folder to upload into", &folder)) return kExitFailed;
  if (!folder.isDir) return Fail(ctx, "put", folder.path.Display() + " is not a folder");
  int status = kExitOk;
  size_t leftOut = 0;
  auto leaveOut = [&](const std::string& local, const std::string& why) {
    status = Fail(ctx, "put", PrintableText(local) + ": " + why);
    ++leftOut;
  };
  std::vector<FolderUpload> folders;
  const TaskListSnapshot before = TaskListSnapshot::Take(*ctx.adapter);
  for (size_t i = 0; i + 1 < cmd.args.size(); ++i) {
    const std::string& local = cmd.args[i];
    const std::string name = LocalName(local);
    struct stat st {};
    if (!FileEnv::Default()->Stat(local, &st)) {
      leaveOut(local, "no such file or folder");
      continue;
    }
    if (!IsValidCloudName(name)) {
      leaveOut(local, "\"" + PrintableText(name) + "\" cannot be a cloud name (no \"\\\" or control characters)");
      continue;
    }
    const CloudPath target = folder.path.Child(name);
    if (S_ISDIR(st.st_mode)) {
      const HRESULT hr = ctx.adapter->UploadFolder(folder.id, std::string(), target.EngineForm(), local);
      folders.push_back(FolderUpload{local, target.EngineForm(), hr});
    } else if (S_ISREG(st.st_mode)) {
      const HRESULT hr = ctx.adapter->UploadFile(std::string(), folder.id, 0, target.EngineForm(), local, true);
      if (FAILED(hr)) leaveOut(local, st.st_size > kMaxUploadSize ? OverUploadLimitReason() : ResultLine(ctx, hr));
    } else {
      leaveOut(local, "not a file or folder");
    }
  }
  CProgressBar bar = MakeBar(ctx);
  const std::vector<TaskListEntry> tasks = WaitForNewTasks(*ctx.adapter, before, &bar, WaitPolicy(ctx));
  std::set<std::string> queued;
  for (const auto& task : tasks) queued.insert(task.strFullPath);
  for (const auto& upload : folders) ReportFolderLeftOut(ctx, upload, queued, leaveOut);
  const int taskStatus = ReportTasks(ctx, "put", tasks, "Uploaded", leftOut);
  return status != kExitOk ? status : taskStatus;
}

int CmdGet(AppContext& ctx, const ParsedCommandLine& cmd) {
  const bool destGiven = cmd.args.size() >= 2;
  const std::string dest = destGiven ? cmd.args.back() : ".";
  const size_t sources = destGiven ? cmd.args.size() - 1 : 1;
  struct stat st {};
  const bool destIsFolder = stat(dest.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  const ItemSpace space = ViewOf(cmd);
  int status = kExitOk;
  const TaskListSnapshot before = TaskListSnapshot::Take(*ctx.adapter);
  for (size_t i = 0; i < sources; ++i) {
    ResolvedItem item;
    if (!ResolveItem(ctx, "get", cmd.args[i], space, "a folder or file to download", &item)) {
      status = kExitFailed;
      continue;
    }
    if (item.isRoot) {
      status = Fail(ctx, "get", "name a folder or file to download, not \"/\"");
      continue;
    }
    std::string target;
    if (destIsFolder) {
      const std::string& name = item.item.strName;
      if (!IsSafePathComponent(name)) {
        status = Fail(ctx, "get", item.path.Display() + ": its name cannot be a local name");
        continue;
      }
      target = JoinLocal(dest, name);
    } else if (sources == 1 && !item.isDir) {
      // A missing folder is made by the download; something else in its place is refused.
      const std::string folder = LocalFolderOf(dest);
      struct stat fst {};
      if (stat(folder.c_str(), &fst) == 0 ? !S_ISDIR(fst.st_mode) : errno == ENOTDIR)
        return Fail(ctx, "get", PrintableText(folder) + " is not a folder");
      target = dest;
    } else {
      return Fail(ctx, "get", PrintableText(dest) + " is not a folder");
    }
    const HRESULT hr = item.isDir ? ctx.adapter->DownloadFolder(item.id, item.parentId, item.path.EngineForm(), target, 1)
                                  : ctx.adapter->DownloadFile(item.id, item.parentId, item.path.EngineForm(), target,
                                                              true, space);
    if (FAILED(hr)) status = Fail(ctx, "get", item.path.Display() + ": " + ResultLine(ctx, hr));
  }
  CProgressBar bar = MakeBar(ctx);
  const std::vector<TaskListEntry> tasks = WaitForNewTasks(*ctx.adapter, before, &bar, WaitPolicy(ctx));
  const int taskStatus = ReportTasks(ctx, "get", tasks, "Downloaded");
  return status != kExitOk ? status : taskStatus;
}

int CmdEdit(AppContext& ctx, const ParsedCommandLine& cmd) {
  const ItemSpace space = ViewOf(cmd);
  ResolvedItem item;
  if (!ResolveItem(ctx, "edit", cmd.args[0], space, "a file to edit", &item)) return kExitFailed;
  if (item.isDir) return Fail(ctx, "edit", item.path.Display() + " is a folder");
  if (HasOpenEntry(*ctx.adapter, item.id)) return Fail(ctx, "edit", item.path.Display() + " is open already");

  // The opener tells which local file was opened, what it held before the program
  // started, and whether a program started.
  struct Opened {
    std::mutex mutex;
    std::condition_variable changed;
    bool seen = false, started = false;
    std::string path;
    std::string sha1;  // "" when it could not be hashed
  };
  auto opened = std::make_shared<Opened>();
  CTerminalWindow::OpenObserver observer;
  observer.starting = [opened](const std::string& path) {
    std::string sha1;
    if (FAILED(GetFileSha1(path, nullptr, &sha1))) sha1.clear();
    std::lock_guard<std::mutex> guard(opened->mutex);
    opened->sha1 = std::move(sha1);
  };
  observer.ended = [opened](const std::string& path, bool started) {
    std::lock_guard<std::mutex> guard(opened->mutex);
    opened->seen = true;
    opened->started = started;
    opened->path = path;
    opened->changed.notify_all();
  };
  ctx.window->SetOpenObserver(std::move(observer));
  struct ObserverReset {
    CTerminalWindow* window;
    ~ObserverReset() { window->SetOpenObserver({}); }
  } reset{ctx.window};

  const TransferWaitPolicy policy = WaitPolicy(ctx);
  const TaskListSnapshot before = TaskListSnapshot::Take(*ctx.adapter);
  // A file another program of the user edits is not opened: no opener will come.
  const HRESULT opening = ctx.adapter->OpenFile(item.id, item.parentId, item.path.EngineForm(), space);
  if (opening == E_CV_LOCAL_IN_EDIT) return Fail(ctx, "edit", item.path.Display() + ": " + ResultMessage(opening));
  // Until the file is opened, or its download has ended without an open.
  CProgressBar bar = MakeBar(ctx);
  const std::vector<TaskListEntry> downloads = WaitForNewTasks(*ctx.adapter, before, &bar, policy);
  std::string localPath, sha1AtOpen;
  bool started = false;
  {
    std::unique_lock<std::mutex> lock(opened->mutex);
    // A finished download has called (or is calling) the opener: wait for it a little.
    // A download cancelled by Ctrl-C opens nothing.
    if (!CancelledByInterrupt(policy, downloads))
      opened->changed.wait_for(lock, kEditUploadQueueWait, [&] { return opened->seen; });
    localPath = opened->path;
    started = opened->started;
    sha1AtOpen = opened->sha1;
  }
  if (localPath.empty()) {
    for (const auto& task : downloads)
      if (task.hrResult != S_OK) return Fail(ctx, "edit", item.path.Display() + ": " + ResultMessage(task.hrResult));
    return Fail(ctx, "edit", item.path.Display() + ": the file was not opened");
  }
  if (!started) return Fail(ctx, "edit", item.path.Display() + ": the opener did not start");
  // Read before the engine lists the file as open, so that an upload that ends at
  // once still counts as new.
  const TaskListSnapshot whileOpen = TaskListSnapshot::Take(*ctx.adapter);
  ctx.window->Say("Editing " + PrintableText(item.path.Display()) + " (" + PrintableText(localPath) +
                  "); waiting for the program to finish, then the changes are uploaded");
  // The engine lists the file once the opener has returned, and until the program is done.
  const auto listedBy = std::chrono::steady_clock::now() + kEditUploadQueueWait;
  while (!HasOpenEntry(*ctx.adapter, item.id) && std::chrono::steady_clock::now() < listedBy)
    if (PauseUnlessInterrupted(policy)) return EditInterrupted(ctx, item.path.Display(), localPath);
  while (HasOpenEntry(*ctx.adapter, item.id))
    if (PauseUnlessInterrupted(policy)) return EditInterrupted(ctx, item.path.Display(), localPath);

  // Done: the engine uploads a changed file and makes an unchanged one read-only again.
  std::string sha1Now;
  if (!sha1AtOpen.empty() && SUCCEEDED(GetFileSha1(localPath, nullptr, &sha1Now)) &&
      StrCompare(sha1Now, sha1AtOpen, true) == 0) {
    ctx.window->Say("No changes to " + PrintableText(item.path.Display()));
    return kExitOk;
  }
  // A change whose upload does not come could not be read or queued.
  const auto deadline = std::chrono::steady_clock::now() + kEditUploadQueueWait;
  for (;;) {
    std::vector<TaskListEntry> running, finished, mineRunning, mineFinished;
    ctx.adapter->GetTaskList(&running, &finished);
    whileOpen.NewTasks(running, finished, &mineRunning, &mineFinished);
    bool uploading = false;
    for (const auto* list : {&mineRunning, &mineFinished})
      for (const auto& task : *list)
        if (task.nDirection == 1 && task.strFullPath == item.path.EngineForm()) uploading = true;
    if (uploading) break;
    if (std::chrono::steady_clock::now() >= deadline)
      return Fail(ctx, "edit", "the changes of " + item.path.Display() + " were not uploaded; they stay in " +
                                   PrintableText(localPath));
    if (PauseUnlessInterrupted(policy)) return EditInterrupted(ctx, item.path.Display(), localPath);
  }
  CProgressBar uploadBar = MakeBar(ctx);
  const std::vector<TaskListEntry> uploads = WaitForNewTasks(*ctx.adapter, whileOpen, &uploadBar, policy);
  for (const auto& task : uploads)
    if (task.hrResult != S_OK) return Fail(ctx, "edit", item.path.Display() + ": " + ResultMessage(task.hrResult));
  ctx.window->Say("Uploaded the changes of " + PrintableText(item.path.Display()));
  return kExitOk;
}

int CmdTasks(AppContext& ctx, const ParsedCommandLine&) {
  std::vector<TaskListEntry> running, finished;
  const HRESULT hr = ctx.adapter->GetTaskList(&running, &finished);
  if (FAILED(hr)) return FailResult(ctx, "tasks", hr);
  if (ctx.global.json) {
    WriteOut(ctx, FormatTasksJson(running, finished) + "\n");
  } else if (!running.empty() || !finished.empty()) {
    WriteOut(ctx, FormatTaskLines(running, finished) + "\n");
  }
  return kExitOk;
}

namespace {

// The task id in the lists: 1 running or waiting, 2 ended, 0 unknown.
int FindTask(CLogicAdapter& adapter, const std::string& id) {
  std::vector<TaskListEntry> running, finished;
  adapter.GetTaskList(&running, &finished);
  for (const auto& task : running)
    if (task.strId == id) return 1;
  for (const auto& task : finished)
    if (task.strId == id) return 2;
  return 0;
}

int UnknownTask(const AppContext& ctx, const std::string& command, const std::string& id) {
  const std::string line = "no task " + PrintableText(id) + " in this process";
  if (ctx.inShell) return Fail(ctx, command, line);
  return Fail(ctx, command, line + " (the task list lives as long as its process: use \"ostrel shell\")");
}

}  // namespace

int CmdCancel(AppContext& ctx, const ParsedCommandLine& cmd) {
  int status = kExitOk;
  for (const auto& id : cmd.args) {
    const int where = FindTask(*ctx.adapter, id);
    if (where == 0) {
      status = UnknownTask(ctx, "cancel", id);
    } else if (where == 2) {
      status = Fail(ctx, "cancel", "task " + PrintableText(id) + " has ended already");
    } else {
      const HRESULT hr = ctx.adapter->CancelTask(id);
      if (FAILED(hr)) status = Fail(ctx, "cancel", PrintableText(id) + ": " + ResultMessage(hr));
    }
  }
  return status;
}

int CmdRetry(AppContext& ctx, const ParsedCommandLine& cmd) {
  int status = kExitOk;
  // A retried task is queued again, possibly under another id: it is found as a new task.
  const TaskListSnapshot before = TaskListSnapshot::Take(*ctx.adapter);
  for (const auto& id : cmd.args) {
    const int where = FindTask(*ctx.adapter, id);
    if (where == 0) {
      status = UnknownTask(ctx, "retry", id);
    } else if (where == 1) {
      status = Fail(ctx, "retry", "task " + PrintableText(id) + " has not ended yet");
    } else {
      const HRESULT hr = ctx.adapter->RetryTask(id);
      if (FAILED(hr)) status = Fail(ctx, "retry", PrintableText(id) + ": " + ResultMessage(hr));
    }
  }
  // A retried transfer is waited for as the command that queued it was.
  CProgressBar bar = MakeBar(ctx);
  const std::vector<TaskListEntry> tasks = WaitForNewTasks(*ctx.adapter, before, &bar, WaitPolicy(ctx));
  const int taskStatus = ReportTasks(ctx, "retry", tasks, "Transferred");
  return status != kExitOk ? status : taskStatus;
}
