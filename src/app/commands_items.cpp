// The commands that list and change items: ls, mkdir, mv, rename, rm, restore,
// empty-trash, search.
#include <string>
#include <vector>

#include "app/cloudresolver.h"
#include "app/commands.h"
#include "app/itemoutput.h"
#include "core/logicadapter/logicadapter.h"

namespace {

// How much of the recycle bin one listing asks for.
constexpr int32_t kRecycleListSize = 1000;

// Parses a typed cloud path; a failure line and false when it is not one.
bool ParsePath(const AppContext& ctx, const std::string& command, const std::string& typed, CloudPath* path) {
  std::string error;
  if (CloudPath::Parse(typed, path, &error)) return true;
  Fail(ctx, command, "\"" + PrintableText(typed) + "\": " + error);
  return false;
}

// Resolves a typed path in the user's own files; prints the failure.
bool Resolve(const AppContext& ctx, const std::string& command, const std::string& typed, ResolvedItem* item,
             ItemSpace space = ItemSpace::MyFile) {
  CloudPath path;
  if (!ParsePath(ctx, command, typed, &path)) return false;
  std::string error;
  const HRESULT hr = ResolveCloudPath(*ctx.adapter, space, path, item, &error);
  if (SUCCEEDED(hr)) return true;
  if (!error.empty()) Fail(ctx, command, error);
  else FailResult(ctx, command, hr);
  return false;
}

void PrintItems(const AppContext& ctx, const std::vector<CFileItemRecord>& items, const CloudPath* folder,
                bool longFormat) {
  if (ctx.global.json) {
    WriteOut(ctx, FormatItemsJson(items, folder) + "\n");
  } else if (!items.empty()) {
    WriteOut(ctx, FormatItemLines(items, longFormat) + "\n");
  }
}

bool GetRecycleItems(const AppContext& ctx, const std::string& command, std::vector<CFileItemRecord>* items) {
  const HRESULT hr = ctx.adapter->GetRecycle("0", kRecycleListSize, items);
  if (SUCCEEDED(hr)) return true;
  FailResult(ctx, command, hr);
  return false;
}

}  // namespace

int CmdLs(AppContext& ctx, const ParsedCommandLine& cmd) {
  const int views = cmd.Has("--shared-out") + cmd.Has("--shared-to-me") + cmd.Has("--trash");
  if (views > 1) return FailUsage(ctx, "ls", "give at most one of --shared-out, --shared-to-me and --trash");
  const bool longFormat = cmd.Has("--long");
  if (cmd.Has("--trash")) {
    if (!cmd.args.empty()) return FailUsage(ctx, "ls", "--trash lists the whole recycle bin; it takes no PATH");
    std::vector<CFileItemRecord> items;
    if (!GetRecycleItems(ctx, "ls", &items)) return kExitFailed;
    PrintItems(ctx, items, nullptr, longFormat);
    return kExitOk;
  }
  const ItemSpace space = cmd.Has("--shared-out")     ? ItemSpace::ShareToOther
                          : cmd.Has("--shared-to-me") ? ItemSpace::ShareToMe
                                                      : ItemSpace::MyFile;
  ResolvedItem target;
  if (!Resolve(ctx, "ls", cmd.args.empty() ? "/" : cmd.args[0], &target, space)) return kExitFailed;
  if (!target.isDir) {
    const CloudPath parent = target.path.Parent();
    PrintItems(ctx, {target.item}, &parent, longFormat);
    return kExitOk;
  }
  std::vector<CFileItemRecord> items;
  const HRESULT hr = ListCloudFolder(*ctx.adapter, space, target.id, target.path, cmd.Has("--refresh"), &items);
  if (FAILED(hr)) {
    // What was stored is still of use, but it must not pass for the service's answer.
    Fail(ctx, "ls", target.path.Display() + ": " + ResultLine(ctx, hr) +
                        (items.empty() ? "" : "; shown as stored before, it may be out of date"));
    if (!items.empty()) PrintItems(ctx, items, &target.path, longFormat);
    return kExitFailed;
  }
  PrintItems(ctx, items, &target.path, longFormat);
  return kExitOk;
}

int CmdMkdir(AppContext& ctx, const ParsedCommandLine& cmd) {
  int status = kExitOk;
  for (const auto& typed : cmd.args) {
    CloudPath path;
    if (!ParsePath(ctx, "mkdir", typed, &path)) {
      status = kExitFailed;
      continue;
    }
    if (path.IsRoot()) {
      status = Fail(ctx, "mkdir", "\"/\" exists already");
      continue;
    }
    ResolvedItem parent;
    if (!Resolve(ctx, "mkdir", path.Parent().Display(), &parent)) {
      status = kExitFailed;
      continue;
    }
    if (!parent.isDir) {
      status = Fail(ctx, "mkdir", parent.path.Display() + " is not a folder");
      continue;
    }
    std::string newId;
    const HRESULT hr = ctx.adapter->NewFolder(parent.id, path.EngineForm(), &newId);
    if (FAILED(hr)) status = Fail(ctx, "mkdir", path.Display() + ": " + ResultLine(ctx, hr));
  }
  return status;
}

int CmdMv(AppContext& ctx, const ParsedCommandLine& cmd) {
  ResolvedItem folder;
  if (!Resolve(ctx, "mv", cmd.args.back(), &folder)) return kExitFailed;
  if (!folder.isDir) return Fail(ctx, "mv", folder.path.Display() + " is not a folder");
  int status = kExitOk;
  for (size_t i = 0; i + 1 < cmd.args.size(); ++i) {
    ResolvedItem item;
    if (!Resolve(ctx, "mv", cmd.args[i], &item)) {
      status = kExitFailed;
      continue;
    }
    if (item.isRoot) {
      status = Fail(ctx, "mv", "\"/\" cannot be moved");
      continue;
    }
    const HRESULT hr = ctx.adapter->Move(item.isDir, item.id, folder.id);
    if (FAILED(hr)) status = Fail(ctx, "mv", item.path.Display() + ": " + ResultLine(ctx, hr));
  }
  return status;
}

int CmdRename(AppContext& ctx, const ParsedCommandLine& cmd) {
  const std::string& newName = cmd.args[1];
  if (!IsValidCloudName(newName))
    return FailUsage(ctx, "rename", "\"" + PrintableText(newName) + "\" cannot be a name (no \"/\", \"\\\" or control characters)");
  ResolvedItem item;
  if (!Resolve(ctx, "rename", cmd.args[0], &item)) return kExitFailed;
  if (item.isRoot) return Fail(ctx, "rename", "\"/\" cannot be renamed");
  const HRESULT hr = ctx.adapter->Rename(item.isDir, item.id, item.path.EngineForm(), newName);
  if (FAILED(hr)) return Fail(ctx, "rename", item.path.Display() + ": " + ResultLine(ctx, hr));
  return kExitOk;
}

int CmdRm(AppContext& ctx, const ParsedCommandLine& cmd) {
  int status = kExitOk;
  for (const auto& typed : cmd.args) {
    ResolvedItem item;
    if (!Resolve(ctx, "rm", typed, &item)) {
      status = kExitFailed;
      continue;
    }
    if (item.isRoot) {
      status = Fail(ctx, "rm", "\"/\" cannot be removed");
      continue;
    }
    const HRESULT hr = ctx.adapter->Delete(item.isDir, item.id, item.path.EngineForm(), ItemSpace::MyFile);
    if (FAILED(hr)) status = Fail(ctx, "rm", item.path.Display() + ": " + ResultLine(ctx, hr));
  }
  return status;
}

int CmdRestore(AppContext& ctx, const ParsedCommandLine& cmd) {
  std::vector<CFileItemRecord> bin;
  if (!GetRecycleItems(ctx, "restore", &bin)) return kExitFailed;
  int status = kExitOk;
  for (const auto& wanted : cmd.args) {
    std::vector<const CFileItemRecord*> byName;
    const CFileItemRecord* byId = nullptr;
    for (const auto& item : bin) {
      if (item.strSvrId == wanted) byId = &item;
      if (item.strName == wanted) byName.push_back(&item);
    }
    const CFileItemRecord* chosen = byId ? byId : (byName.size() == 1 ? byName[0] : nullptr);
    if (!chosen) {
      if (byName.empty()) {
        status = Fail(ctx, "restore", "nothing named \"" + PrintableText(wanted) + "\" in the recycle bin");
      } else {
        std::string ids;
        for (const auto* item : byName) ids += " " + PrintableText(item->strSvrId);
        status = Fail(ctx, "restore", "several items are named \"" + PrintableText(wanted) +
                                          "\" in the recycle bin; name one by its id:" + ids);
      }
      continue;
    }
    const HRESULT hr = ctx.adapter->Recover(chosen->strSvrId, std::string());
    if (FAILED(hr)) status = Fail(ctx, "restore", PrintableText(wanted) + ": " + ResultLine(ctx, hr));
  }
  return status;
}

int CmdEmptyTrash(AppContext& ctx, const ParsedCommandLine&) {
  const HRESULT hr = ctx.adapter->CleanRecycle(std::string());
  if (FAILED(hr)) return FailResult(ctx, "empty-trash", hr);
  return kExitOk;
}

int CmdSearch(AppContext& ctx, const ParsedCommandLine& cmd) {
  if (cmd.args[0].empty()) return FailUsage(ctx, "search", "give a text to search for");
  std::vector<CFileItemRecord> items;
  const HRESULT hr = ctx.adapter->FullTextSearch(cmd.args[0], 0, &items);
  if (FAILED(hr)) {
    Fail(ctx, "search", ResultLine(ctx, hr) +
                            (items.empty() ? "" : "; only the stored items were searched, they may be out of date"));
    if (!items.empty()) PrintItems(ctx, items, nullptr, cmd.Has("--long"));
    return kExitFailed;
  }
  PrintItems(ctx, items, nullptr, cmd.Has("--long"));
  return kExitOk;
}
