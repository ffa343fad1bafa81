// Listings through the logic adapter, as the front end makes them, for timing against
// peers. Every command is one fresh process doing the whole work: read config.ini,
// start the engine on the configuration folder, sign in, list, shut down.
//   bench_facade login <cfg> <user> <password> <folderId>
//       sets the connection direct and without speed limits (the defaults limit a
//       transfer to 1 MiB/s), signs in with the password (the token is kept for later
//       runs) and lists the root and the folder from the service into the cache
//   bench_facade list <cfg> <folderId>
//       signs in again from the stored token and lists the folder (from the cache when
//       it is current); prints the number of items and their total size
//   bench_facade first <cfg> <user> <password> <folderId>
//       removes the user folders of <cfg>, signs in with the password and lists the folder from the
//       service into the empty cache; prints as list does
//   bench_facade peer-read <folderId>
//       the sqlite3 shell's SELECT of the columns a cached listing reads
// The registry store is the one $OSTREL_REGISTRY names; config.ini in <cfg> names the
// service.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/db/db.h"
#include "common/log.h"
#include "common/registry.h"
#include "core/logicadapter/logicadapter.h"
#include "core/synccenter.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: bench_facade login <cfg> <user> <password> <folderId> | list <cfg> <folderId> |\n"
               "       first <cfg> <user> <password> <folderId> | peer-read <folderId>\n");
  return 2;
}

// A window nobody looks at: prompts end with their cancel button.
class NoWindow final : public IMainWindow {
 public:
  HRESULT ShowMessage(const std::string&, const std::string&) override { return S_OK; }
  WizardChoice ShowWizard(const WizardPrompt& prompt) override {
    return {static_cast<int>(prompt.buttons.size()) - 1, false};
  }
  HRESULT ShowNotify(const std::string&, const std::string&, uint32_t, uint32_t) override { return S_OK; }
  ShellProcess ShellOpen(const std::string&) override { return kShellOpenFailed; }
  HRESULT OnDragDataFile(const std::string&) override { return S_OK; }
  std::string PickFolder(const std::string&) override { return std::string(); }
};

// Starts the engine on cfg as the application does: its log at the default level,
// config.ini read, the logic adapter wired to a window.
bool Start(const std::string& cfg, NoWindow* window) {
  LogInit("ostrel", cfg + "/log/ostrel.log", 4, 0, -1);
  CConfig::Instance().Init(cfg);
  if (GetLogicAdapter().Init(cfg, window) != S_OK) {
    std::fprintf(stderr, "bench_facade: the engine did not start on %s\n", cfg.c_str());
    return false;
  }
  return true;
}

// Lists the folder and prints "<items> <total size>"; false when the listing failed.
bool List(const std::string& folderId, bool force) {
  std::vector<CFileItemRecord> items;
  HRESULT hr = GetLogicAdapter().DirMyFile(folderId, "", &items, force);
  if (hr != S_OK) {
    std::fprintf(stderr, "bench_facade: listing failed: 0x%08x\n", static_cast<unsigned>(hr));
    return false;
  }
  int64_t total = 0;
  for (const CFileItemRecord& item : items) total += item.size;
  std::printf("%zu %lld\n", items.size(), static_cast<long long>(total));
  return true;
}

int Run(const std::vector<std::string>& args) {
  const std::string& cfg = args[1];
  const bool password = args[0] != "list";
  if (args[0] == "first") {
    // An empty cache: every user folder goes, config.ini and the log stay.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(cfg, ec))
      if (entry.is_directory() && entry.path().filename() != "log") std::filesystem::remove_all(entry.path(), ec);
  }
  NoWindow window;
  if (!Start(cfg, &window)) return 1;
  if (args[0] == "login" &&
      (SaveProxySettings("", "", "", "", 0) != S_OK || SetUploadSpeed(0) != S_OK || SetDownloadSpeed(0) != S_OK)) {
    std::fprintf(stderr, "bench_facade: the connection settings were not stored\n");
    return 1;
  }
  CLogicAdapter& adapter = GetLogicAdapter();
  HRESULT hr = password ? adapter.Login(args[2], args[3], kLoginModeMyComputer) : adapter.TryLogin(0);
  bool ok = hr == S_OK;
  if (!ok) std::fprintf(stderr, "bench_facade: sign-in failed: 0x%08x\n", static_cast<unsigned>(hr));
  // A folder's cache mark lives in its row, which the listing of its parent stores.
  if (ok && args[0] == "login") ok = List("", true);
  if (ok) ok = List(args.back(), args[0] == "login");
  adapter.UnInit();
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "peer-read") {
    std::printf(
        "SELECT isdir, sha1, size, version, fileversion, localpath, localname, local_ctime, local_mtime, "
        "svrparentid, svrid, bshared, sharers FROM files WHERE svrparentid = '%s';\n",
        EscapeSqlString(args[1]).c_str());
    return 0;
  }
  if ((args.size() == 5 && (args[0] == "login" || args[0] == "first")) || (args.size() == 3 && args[0] == "list"))
    return Run(args);
  return Usage();
}
