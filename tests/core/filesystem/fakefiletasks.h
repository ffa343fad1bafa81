// File tasks for tests of their callers, made by the task factory a task manager is
// given (TaskMgrOptions::taskFactory): a service of file contents in memory. A download
// writes the service's content of the file to the record's target (temp file and
// rename) and reports its version and SHA-1; an upload reads the source and stores it
// as the file's next version ("UpdateNewFile" makes a new file "N<n>"). A result set
// for a file id (or for every task of a name) is returned instead, on every try.
// Tasks of a held name wait in Execute until the name is released or they are
// cancelled (E_CV_CURL_CANCEL). Thread-safe.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/sha1.h"
#include "core/interfaces/itask.h"
#include "core/interfaces/taskdata.h"
#include "platform/atomicfile.h"
#include "platform/posixfile.h"

class FakeFileTasks {
 public:
  struct Run {
    std::string taskName, id, fullPath, secondPath, fileVer, parentId;
    std::string content;  // what an upload read
  };

  FakeFileTasks() : m_state(std::make_shared<State>()) {}

  // The service's content of a file and its version.
  void SetRemote(const std::string& fileId, const std::string& content, int64_t fileVer) {
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->remote[fileId] = {content, fileVer};
  }
  std::string RemoteContent(const std::string& fileId) {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->remote[fileId].content;
  }
  // Every task of this file id (or, for an id "*name", of this task name) ends with hr.
  void SetResult(const std::string& key, HRESULT hr) {
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->results[key] = hr;
  }
  void Hold(const std::string& taskName) {
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->held.insert(taskName);
  }
  void Release(const std::string& taskName) {
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->held.erase(taskName);
    m_state->changed.notify_all();
  }
  // Tasks waiting in a held name now.
  int Waiting() {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->waiting;
  }
  // Waits (up to 30 s) until count tasks wait in held names.
  bool WaitWaiting(int count) {
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->changed.wait_for(guard, std::chrono::seconds(30), [&] { return m_state->waiting >= count; });
  }
  // The runs that got past their hold, in order (one per try).
  std::vector<Run> Runs() {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->runs;
  }
  std::vector<Run> RunsOf(const std::string& taskName) {
    std::vector<Run> of;
    for (Run& r : Runs())
      if (r.taskName == taskName) of.push_back(std::move(r));
    return of;
  }

  TaskFactory Factory() {
    std::shared_ptr<State> state = m_state;
    return [state](TaskDataBase* record) -> ITask* {
      const std::string& n = record->TasksName();
      if (n != "DownloadFile" && n != "UpdateFile" && n != "UpdateNewFile") return nullptr;
      return new Task(state, record);
    };
  }

 private:
  struct Remote {
    std::string content;
    int64_t fileVer = 0;
  };
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, Remote> remote;
    std::map<std::string, HRESULT> results;
    std::set<std::string> held;
    int waiting = 0;
    int newFiles = 0;
    std::vector<Run> runs;
  };

  class Task final : public ITask {
   public:
    Task(std::shared_ptr<State> state, TaskDataBase* record) : m_state(std::move(state)), m_record(record) {}
    HRESULT Init(ILocalStorage*, IRemoteStorage*, TransportProgressCallback, int64_t, int64_t, void*) override {
      return S_OK;
    }
    HRESULT Cancel(uint32_t) override {
      std::lock_guard<std::mutex> guard(m_state->lock);
      m_cancelled = true;
      m_state->changed.notify_all();
      return S_OK;
    }
    TaskDataBase* GetTaskData() override { return m_record; }

    HRESULT Execute() override {
      TaskDataBase& r = *m_record;
      std::unique_lock<std::mutex> guard(m_state->lock);
      if (m_state->held.count(r.TasksName())) {
        ++m_state->waiting;
        m_state->changed.notify_all();
        m_state->changed.wait(guard, [&] { return m_cancelled || !m_state->held.count(r.TasksName()); });
        --m_state->waiting;
      }
      if (m_cancelled) return E_CV_CURL_CANCEL;
      Run run{r.TasksName(), r.strId, r.strFullPath, r.strSecondPath, "", "", ""};
      if (auto* u = dynamic_cast<TaskData_UpdateFile*>(&r)) run.fileVer = u->strFileVer;
      if (auto* n = dynamic_cast<TaskData_NewFile*>(&r)) run.parentId = n->strParentId;
      HRESULT hr = S_OK;
      for (const std::string& key : {r.strId, "*" + r.TasksName()}) {
        auto it = m_state->results.find(key);
        if (it != m_state->results.end()) {
          hr = it->second;
          break;
        }
      }
      if (hr != S_OK) {
        m_state->runs.push_back(std::move(run));
        return hr;
      }
      if (r.TasksName() == "DownloadFile") {
        const Remote remote = m_state->remote[r.strId];
        m_state->runs.push_back(std::move(run));
        guard.unlock();
        EnsureParent(r.strSecondPath);
        if (!AtomicWriteFile(r.strSecondPath, remote.content, 0644)) return E_CV_LOCAL_LOCKED;
        r.nFileVer = remote.fileVer;
        r.strSha1 = Sha1Hex(remote.content.data(), remote.content.size());
        return S_OK;
      }
      std::string content;
      if (!ReadWholeFile(r.strSecondPath, 1 << 20, &content)) {
        m_state->runs.push_back(std::move(run));
        return E_CV_TASK_FAILED;
      }
      run.content = content;
      if (r.TasksName() == "UpdateNewFile") r.strId = "N" + std::to_string(++m_state->newFiles);
      Remote& remote = m_state->remote[r.strId];
      remote.content = content;
      remote.fileVer = r.TasksName() == "UpdateNewFile" ? 1 : std::stoll(run.fileVer) + 1;
      r.nFileVer = remote.fileVer;
      r.strSha1 = Sha1Hex(content.data(), content.size());
      if (auto* u = dynamic_cast<TaskData_UpdateFile*>(&r)) u->strSizeOrg = std::to_string(content.size());
      m_state->runs.push_back(std::move(run));
      return S_OK;
    }

   private:
    static void EnsureParent(const std::string& path) {
      std::string folder = FolderOfPath(path);
      for (size_t at = 1; at <= folder.size(); ++at)
        if (at == folder.size() || folder[at] == '/') FileEnv::Default()->Mkdir(folder.substr(0, at), 0755);
    }

    std::shared_ptr<State> m_state;
    TaskDataBase* m_record;
    bool m_cancelled = false;  // under m_state->lock
  };

  std::shared_ptr<State> m_state;
};
