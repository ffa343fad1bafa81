#include "app/folderuploadcheck.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/strhelper.h"
#include "core/filesystem/transfers.h"
#include "platform/fileenv.h"

namespace {

// The cloud path of name in the folder cloudFolder, as the folder upload builds it.
std::string JoinCloud(const std::string& cloudFolder, const std::string& name) {
  if (!cloudFolder.empty() && cloudFolder.back() == '\\') return cloudFolder + name;
  return cloudFolder + "\\" + name;
}

class Walk {
 public:
  Walk(FileEnv* env, const std::set<std::string>& queuedPaths, FolderUploadCheck* check)
      : m_env(env), m_queuedPaths(queuedPaths), m_check(check) {}

  // The entries of the folder at localFolder, depth folders below the one uploaded.
  void Folder(const std::string& localFolder, const std::string& cloudFolder, int depth) {
    std::vector<FolderEntry> entries;
    if (!m_env->ListFolder(localFolder, false, &entries))
      Refuse(localFolder, std::string("its entries could not all be read: ") + std::strerror(errno));
    for (const FolderEntry& entry : entries) {
      const std::string localPath = JoinPath(localFolder, entry.name);
      struct stat st {};
      const bool examined = m_env->Lstat(localPath, &st);
      unsigned char type = entry.type;
      if (type == DT_UNKNOWN && examined) type = static_cast<unsigned char>(IFTODT(st.st_mode));
      if (type == DT_LNK) {
        Refuse(localPath, "a symbolic link (links are not followed)");
      } else if (type == DT_UNKNOWN) {
        Refuse(localPath, std::string("it could not be examined: ") + std::strerror(errno));
      } else if (type != DT_DIR && type != DT_REG) {
        Refuse(localPath, "not a regular file or folder");
      } else if (!IsUploadableName(entry.name)) {
        Refuse(localPath, "its name cannot be a cloud name (no \"\\\" or control characters)");
      } else if (type == DT_DIR && depth + 1 >= kMaxFolderWalkDepth) {
        Refuse(localPath, "deeper than " + std::to_string(kMaxFolderWalkDepth - 1) +
                              " folders below the folder uploaded");
      } else if (type == DT_DIR) {
        Folder(localPath, JoinCloud(cloudFolder, entry.name), depth + 1);
      } else if (examined && st.st_size > kMaxUploadSize) {
        Refuse(localPath, OverUploadLimitReason());
      } else if (m_queuedPaths.count(JoinCloud(cloudFolder, entry.name))) {
        ++m_check->queued;
      } else {
        m_check->unqueued.push_back(localPath);
      }
    }
  }

 private:
  void Refuse(const std::string& localPath, std::string why) {
    m_check->refused.push_back(LeftOutEntry{localPath, std::move(why)});
  }

  FileEnv* const m_env;
  const std::set<std::string>& m_queuedPaths;
  FolderUploadCheck* const m_check;
};

}  // namespace

std::string OverUploadLimitReason() {
  return "larger than the upload limit of 300 MiB (" + std::to_string(kMaxUploadSize) + " bytes)";
}

FolderUploadCheck CheckFolderUpload(FileEnv* env, const std::string& localFolder, const std::string& cloudFolder,
                                    const std::set<std::string>& queuedPaths) {
  FolderUploadCheck check;
  Walk(env, queuedPaths, &check).Folder(localFolder, cloudFolder, 0);
  return check;
}
