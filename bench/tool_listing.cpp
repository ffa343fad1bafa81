// Listings through the local storage, for timing against the sqlite3 shell:
//   bench_listing write <dir> <n>   a new data base <dir>/tevok.db holding one listing of
//                                   n items under folder "P", written as the file-system
//                                   facade writes one back (one transaction: every item,
//                                   then the sweep)
//   bench_listing read <dir>        lists folder "P" of <dir>/tevok.db from the store;
//                                   prints the number of items and their total size
//   bench_listing peer-write <n>    the shell's script for the same data base: the same
//                                   tables and indexes, then the same n rows inserted in
//                                   one transaction
//   bench_listing peer-read         the shell's SELECT of the columns a listing reads
//   bench_listing dump              the SELECT that shows what both stored, for comparing
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/db/dbhelper.h"
#include "common/log.h"
#include "core/localstorage/localstorage.h"
#include "core/localstorage/sharers.h"

namespace {

constexpr char kParent[] = "P";
constexpr int64_t kVersion = 41;

int Usage() {
  std::fprintf(stderr,
               "usage: bench_listing write <dir> <n> | read <dir> | peer-write <n> | peer-read | dump\n");
  return 2;
}

// Item k of the listing: every tenth a folder, every fifth file shared with two people.
CFileItemRecord Item(int k) {
  CFileItemRecord r;
  char text[64];
  std::snprintf(text, sizeof(text), "{6F9619FF-8B86-D011-B42D-%012d}", k);
  r.strSvrId = text;
  r.strParentId = kParent;
  r.bIsDir = k % 10 == 0 ? kItemFolder : kItemFile;
  std::snprintf(text, sizeof(text), r.bIsDir ? "folder %05d" : "report-%05d O'Hara.pdf", k);
  r.strName = text;
  if (!r.bIsDir) {
    std::snprintf(text, sizeof(text), "%08x%032x", k * 2654435761u, k);
    r.strSha1 = text;
    r.size = 1000003LL * k;
    r.fileVer = k % 7 + 1;
    r.strLocalCTime = "2024-03-05 10:00:00";
    r.strLocalMTime = "2024-03-06 11:30:00";
  }
  if (k % 5 == 1) {
    r.bShared = 1;
    r.shareEntries = {{"Ann, the first", "u1001", "ann@example.org", kShareRightRead},
                      {"Bob", "u1002", "bob@example.org", kShareRightRead | kShareRightWrite}};
  }
  return r;
}

std::string Quoted(const std::string& text) { return "'" + EscapeSqlString(text) + "'"; }

int Open(const std::string& dir, RefPtr<ILocalStorage>* store) {
  if (OpenUserDB(dir) != S_OK || CreateLocalStorage(store->Receive()) != S_OK ||
      (*store)->Init(dir, dir + "/sync") != S_OK) {
    std::fprintf(stderr, "bench_listing: cannot open the store in %s\n", dir.c_str());
    return 1;
  }
  return 0;
}

int Write(const std::string& dir, int n) {
  RefPtr<ILocalStorage> store;
  if (int rc = Open(dir, &store)) return rc;
  store->SetCurCacheVesion(kVersion);
  store->BeginTransaction();
  for (int k = 0; k < n; ++k) {
    if (store->AddOrUpdateFileItem(Item(k), ItemSpace::MyFile) != S_OK) {
      std::fprintf(stderr, "bench_listing: item %d not written\n", k);
      return 1;
    }
  }
  HRESULT swept = store->ClearOldFileItem(kParent, ItemSpace::MyFile);
  HRESULT committed = store->CommitTransaction();
  if (swept != S_OK || committed != S_OK) {
    std::fprintf(stderr, "bench_listing: listing not stored\n");
    return 1;
  }
  return 0;
}

int Read(const std::string& dir) {
  RefPtr<ILocalStorage> store;
  if (int rc = Open(dir, &store)) return rc;
  std::vector<CFileItemRecord> items;
  if (store->GetLastSyncSnapshot(kParent, &items, ItemSpace::MyFile) != S_OK) {
    std::fprintf(stderr, "bench_listing: listing not read\n");
    return 1;
  }
  int64_t total = 0;
  for (const CFileItemRecord& item : items) total += item.size;
  std::printf("%zu %lld\n", items.size(), static_cast<long long>(total));
  return 0;
}

int PeerWrite(int n) {
  // What the store runs, statement by statement, with the values written out.
  std::printf("CREATE TABLE config (section TEXT, field TEXT, value TEXT);\n");
  for (const char* table : {"files", "shareinfiles"}) {
    std::printf("CREATE TABLE %s (%s);\n", table, CLocalStorage::kTableColumns);
    std::printf("CREATE INDEX %s_index ON %s(svrid, svrparentid);\n", table, table);
    std::printf("CREATE INDEX %s_parent_index ON %s(svrparentid);\n", table, table);
  }
  std::printf("INSERT INTO config (section, field, value) VALUES ('LocalStorage', 'CacheVersion', '%lld');\n",
              static_cast<long long>(kVersion));
  std::printf("BEGIN TRANSACTION;\n");
  for (int k = 0; k < n; ++k) {
    CFileItemRecord r = Item(k);
    std::printf(
        "INSERT INTO files (size, fileversion, sha1, svrparentid, svrid, localpath, localname, isdir, local_ctime, "
        "local_mtime, sharers, bshared, itemversion) VALUES (%lld, %lld, %s, %s, %s, %s, %s, %d, %s, %s, %s, %d, "
        "%lld);\n",
        static_cast<long long>(r.size), static_cast<long long>(r.fileVer), Quoted(r.strSha1).c_str(),
        Quoted(r.strParentId).c_str(), Quoted(r.strSvrId).c_str(), Quoted(r.strLocalPath).c_str(),
        Quoted(r.strName).c_str(), r.bIsDir ? 1 : 0, Quoted(r.strLocalCTime).c_str(), Quoted(r.strLocalMTime).c_str(),
        Quoted(SerializeSharers(r.shareEntries)).c_str(), r.bShared, static_cast<long long>(kVersion));
  }
  std::printf("COMMIT TRANSACTION;\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  if (args[0] == "peer-write" && args.size() == 2) return PeerWrite(std::atoi(args[1].c_str()));
  if (args[0] == "peer-read" && args.size() == 1) {
    std::printf(
        "SELECT isdir, sha1, size, version, fileversion, localpath, localname, local_ctime, local_mtime, "
        "svrparentid, svrid, bshared, sharers FROM files WHERE svrparentid = '%s';\n",
        kParent);
    return 0;
  }
  if (args[0] == "dump" && args.size() == 1) {
    std::printf(
        "SELECT id, isdir, size, version, fileversion, sha1, svrparentid, svrid, svr_mtime, svr_ctime, localpath, "
        "localname, local_mtime, local_ctime, cacheversion, itemversion, sharers, viewmode, bshared FROM files "
        "ORDER BY id;\n");
    return 0;
  }
  if (args.size() < 2) return Usage();
  // Errors only, and no pause before a line.
  logcontrol::SetPauseMs(0);
  LogInit("bench_listing", args[1] + "/bench.log", kLogError, 0, -1);
  if (args[0] == "write" && args.size() == 3) return Write(args[1], std::atoi(args[2].c_str()));
  if (args[0] == "read" && args.size() == 2) return Read(args[1]);
  return Usage();
}
