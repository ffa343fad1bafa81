// The ".otl" markers of plain downloads: while a download runs, an empty file named
// like its destination with ".otl" appended lies beside it. A marker is created only
// where no file of that name exists, and only a marker this object created is ever
// removed: a file of that name that was there before is the user's (or another
// process's) and stays.
//
// Downloads to one destination may overlap: the marker stays until the last of them
// has released it.
//
// Threads: every member may be called from any thread; the one lock is held only for
// the create or remove call on the marker itself.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/fileenv.h"

class CDownloadMarkers {
 public:
  explicit CDownloadMarkers(FileEnv* env) : m_env(env) {}
  CDownloadMarkers(const CDownloadMarkers&) = delete;
  CDownloadMarkers& operator=(const CDownloadMarkers&) = delete;

  // The marker's path for a destination.
  static std::string MarkerPath(const std::string& destination) { return destination + ".otl"; }

  // One download to destination begins: the marker is created when no file has its
  // name (a failure to create it is logged and changes nothing else).
  void Acquire(const std::string& destination);
  // One download to destination has ended: the marker goes with the last download that
  // holds it, when this object created it. A destination no download holds changes
  // nothing.
  void Release(const std::string& destination);

 private:
  FileEnv* const m_env;
  std::mutex m_lock;               // m_held and the markers' creation and removal
  std::map<std::string, int> m_held;  // marker path -> downloads holding it
};
