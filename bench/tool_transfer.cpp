// File transfers through the logic adapter, as the front end starts them, for timing
// against peers. Every command is one fresh process: read config.ini, start the
// engine on the configuration folder, sign in again from the stored token, transfer,
// wait for the task manager to report the end, shut down.
//   bench_transfer setup <cfg> <user> <password>
//       sets the connection direct and without speed limits and signs in with the
//       password (the token is kept for the other commands)
//   bench_transfer upload <cfg> <file> <name> [as-is]
//       uploads a copy of <file> rotated by a new offset (the same bytes cut at other
//       places, so the service holds none of its blocks from an earlier run; with
//       as-is the bytes of <file>) as a new file <name> of the root, through the
//       background task manager, and waits for its completion
//   bench_transfer upload-folder <cfg> <folder> <name>
//       uploads the folder as a new folder <name> of the root and waits until every
//       file's task has ended
//   bench_transfer download <cfg> <name> <out>
//       downloads the root's file <name> into <out>, on this thread
//   bench_transfer rotate <file> <out>
//       writes <file> rotated by a new offset into <out> (no engine), for a program
//       timed against "upload" that needs fresh content of its own
// Exits with 0 only when every transfer succeeded. The registry store is the one
// $OSTREL_REGISTRY names; config.ini in <cfg> names the service.
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/log.h"
#include "common/registry.h"
#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"
#include "platform/posixfile.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: bench_transfer setup <cfg> <user> <password> | upload <cfg> <file> <name> [as-is] |\n"
               "       upload-folder <cfg> <folder> <name> | download <cfg> <name> <out> | rotate <file> <out>\n");
  return 2;
}

// A window nobody looks at: prompts end with their cancel button, notices are printed.
class NoWindow final : public IMainWindow {
 public:
  HRESULT ShowMessage(const std::string& text, const std::string&) override {
    std::fprintf(stderr, "bench_transfer: message: %s\n", text.c_str());
    return S_OK;
  }
  WizardChoice ShowWizard(const WizardPrompt& prompt) override {
    return {static_cast<int>(prompt.buttons.size()) - 1, false};
  }
  HRESULT ShowNotify(const std::string& text, const std::string&, uint32_t, uint32_t) override {
    std::fprintf(stderr, "bench_transfer: notice: %s\n", text.c_str());
    return S_OK;
  }
  ShellProcess ShellOpen(const std::string&) override { return kShellOpenFailed; }
  HRESULT OnDragDataFile(const std::string&) override { return S_OK; }
  std::string PickFolder(const std::string&) override { return std::string(); }
};

CLogicAdapter& Adapter() { return GetLogicAdapter(); }

// Copies the file into copy, rotated by a random offset when rotate is set; false on
// failure.
bool RotatedCopy(const std::string& source, const std::string& copy, bool rotate) {
  std::string bytes;
  if (!ReadWholeFile(source, size_t{1} << 31, &bytes) || bytes.size() < 2) return false;
  std::random_device seed;
  const size_t offset = rotate ? std::uniform_int_distribution<size_t>(1, bytes.size() - 1)(seed) : 0;
  const std::string rotated = bytes.substr(offset) + bytes.substr(0, offset);
  PosixFile out;
  return out.Open(copy, O_WRONLY | O_CREAT | O_TRUNC, 0600) && out.WriteFull(rotated.data(), rotated.size()) &&
         out.Close();
}

// The ids of the tasks that have already ended (an earlier run's are listed too).
std::set<std::string> FinishedIds() {
  std::vector<TaskListEntry> running, finished;
  std::set<std::string> ids;
  if (Adapter().GetTaskList(&running, &finished) == S_OK)
    for (const TaskListEntry& e : finished) ids.insert(e.strId);
  return ids;
}

// Waits until n tasks not in before have ended and none waits or runs; true when every
// one of them succeeded. The task list is polled as the tasks pane does.
bool WaitForTasks(const std::set<std::string>& before, size_t n) {
  for (;;) {
    std::vector<TaskListEntry> running, finished;
    if (Adapter().GetTaskList(&running, &finished) != S_OK) return false;
    size_t ended = 0;
    bool ok = true;
    for (const TaskListEntry& e : finished) {
      if (before.count(e.strId) != 0) continue;
      ++ended;
      if (e.hrResult == S_OK) continue;
      std::fprintf(stderr, "bench_transfer: %s ended with 0x%08x\n", e.strFullPath.c_str(),
                   static_cast<unsigned>(e.hrResult));
      ok = false;
    }
    if (running.empty() && ended >= n) return ok;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

size_t CountFiles(const std::string& folder) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    n += entry.is_regular_file() ? 1 : 0;
  return n;
}

// The id of the root's item with that name; "" when it is not listed.
std::string IdOf(const std::string& name) {
  std::vector<CFileItemRecord> items;
  if (Adapter().DirMyFile("", "\\", &items, true) != S_OK) return std::string();
  for (const CFileItemRecord& item : items)
    if (item.strName == name) return item.strSvrId;
  return std::string();
}

int Run(const std::vector<std::string>& args) {
  const std::string& cfg = args[1];
  LogInit("ostrel", cfg + "/log/ostrel.log", 4, 0, -1);
  CConfig::Instance().Init(cfg);
  NoWindow window;
  if (Adapter().Init(cfg, &window) != S_OK) {
    std::fprintf(stderr, "bench_transfer: the engine did not start on %s\n", cfg.c_str());
    return 1;
  }
  HRESULT hr = S_OK;
  if (args[0] == "setup") {
    if (SaveProxySettings("", "", "", "", 0) != S_OK || SetUploadSpeed(0) != S_OK || SetDownloadSpeed(0) != S_OK)
      hr = E_FAIL;
    if (hr == S_OK) hr = Adapter().Login(args[2], args[3], kLoginModeMyComputer);
  } else {
    hr = Adapter().TryLogin(0);
  }
  bool ok = hr == S_OK;
  if (!ok) std::fprintf(stderr, "bench_transfer: sign-in failed: 0x%08x\n", static_cast<unsigned>(hr));
  if (ok && args[0] == "upload") {
    const std::string copy = cfg + "/upload/" + args[3];
    std::filesystem::create_directories(cfg + "/upload");
    const std::set<std::string> before = FinishedIds();
    ok = RotatedCopy(args[2], copy, args.size() < 5) &&
         Adapter().UploadFile("", "", 0, "\\" + args[3], copy, true) == S_OK && WaitForTasks(before, 1);
    std::filesystem::remove(copy);
  } else if (ok && args[0] == "upload-folder") {
    const std::set<std::string> before = FinishedIds();
    ok = Adapter().UploadFolder("", "", "\\" + args[3], args[2]) == S_OK &&
         WaitForTasks(before, CountFiles(args[2]));
  } else if (ok && args[0] == "download") {
    const std::string id = IdOf(args[2]);
    ok = !id.empty() &&
         Adapter().DownloadFile(id, "", "\\" + args[2], args[3], false, ItemSpace::MyFile) == S_OK;
  }
  if (!ok && hr == S_OK) std::fprintf(stderr, "bench_transfer: %s failed\n", args[0].c_str());
  Adapter().UnInit();
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "rotate") return RotatedCopy(args[1], args[2], true) ? 0 : 1;
  if ((args.size() == 4 && (args[0] == "setup" || args[0] == "upload" || args[0] == "upload-folder" ||
                            args[0] == "download")) ||
      (args.size() == 5 && args[0] == "upload" && args[4] == "as-is"))
    return Run(args);
  return Usage();
}
