// A task manager for tests of its callers: forwards to a real one, answers the
// synchronous tasks of chosen names itself, keeps what was added (name, id, force) and
// counts the adds and the completion callbacks that have returned, with a wait for
// each, so that a test waits for a background task's end instead of for time to pass.
// A hook may run inside each add before the real manager sees it. Stop the real
// manager (through Stop) before the last reference goes. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/recordtree.h"
#include "common/unknown.h"
#include "core/interfaces/itaskmgr.h"
#include "core/interfaces/taskdata.h"
#include "core/taskmgr/taskmgr.h"

class ScriptedTaskMgr final : public CUnknownImpl<ITaskMgr> {
 public:
  using Answer = std::function<HRESULT(TaskDataBase& record, RecordTree* reply)>;
  struct Added {
    std::string taskName, id, fullPath, secondPath;
    bool force;
  };

  explicit ScriptedTaskMgr(ITaskMgr* real) : m_real(real) {}

  // A real manager made with taskFactory, ticking every millisecond, under a scripted
  // one that is initialised and started; the failing step's result otherwise.
  static HRESULT StartOverReal(TaskFactory taskFactory, ISyncCenter* center, ILocalStorage* local,
                               IRemoteStorage* remote, RefPtr<ScriptedTaskMgr>* out) {
    TaskMgrOptions options;
    options.taskFactory = std::move(taskFactory);
    options.tickPeriod = std::chrono::milliseconds(1);
    RefPtr<ITaskMgr> real;
    HRESULT hr = CreateTaskMgr(real.Receive(), options);
    if (FAILED(hr)) return hr;
    RefPtr<ScriptedTaskMgr> scripted(new ScriptedTaskMgr(real.get()));
    if (FAILED(hr = scripted->Init(center, local, remote)) || FAILED(hr = scripted->Start())) return hr;
    *out = std::move(scripted);
    return S_OK;
  }

  // ExecuteTask of records named taskName runs answer instead of the real manager.
  void SetAnswer(const std::string& taskName, Answer answer) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_answers[taskName] = std::move(answer);
  }
  // Runs inside AddTask (on the adding thread, with no lock of this object held) before
  // the record goes to the real manager; an empty hook removes it.
  void SetOnAdd(std::function<void(const Added&)> hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_onAdd = std::move(hook);
  }
  std::vector<Added> AddedTasks() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_added;
  }
  std::vector<Added> AddedOf(const std::string& taskName) {
    std::vector<Added> of;
    for (Added& a : AddedTasks())
      if (a.taskName == taskName) of.push_back(std::move(a));
    return of;
  }
  // The names of the synchronous tasks run so far, in order.
  std::vector<std::string> Executed() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_executed;
  }
  int Callbacks() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_callbacks;
  }
  // Waits (up to bound) until count AddTask calls have returned.
  bool WaitAddsReturned(int count, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, bound, [&] { return m_addsReturned >= count; });
  }
  // Waits (up to bound) until count completion callbacks have returned.
  bool WaitCallbacks(int count, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, bound, [&] { return m_callbacks >= count; });
  }

  HRESULT Init(ISyncCenter* c, ILocalStorage* l, IRemoteStorage* r) override { return m_real->Init(c, l, r); }
  HRESULT UnInit() override { return m_real->UnInit(); }
  HRESULT Start() override { return m_real->Start(); }
  HRESULT Stop(uint32_t timeoutMs) override { return m_real->Stop(timeoutMs); }
  HRESULT ExecuteTask(TaskDataBase* record, RecordTree* reply, int32_t tries) override {
    Answer answer;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_executed.push_back(record->TasksName());
      auto it = m_answers.find(record->TasksName());
      if (it != m_answers.end()) answer = it->second;
    }
    if (!answer) return m_real->ExecuteTask(record, reply, tries);
    RecordTree scratch;
    if (!reply) reply = &scratch;
    reply->Clear();
    return answer(*record, reply);
  }
  HRESULT AddTask(TaskDataBase* record, bool force, TaskCompletionCallback callback, void* context) override {
    const Added added{record->TasksName(), record->strId, record->strFullPath, record->strSecondPath, force};
    std::function<void(const Added&)> hook;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_added.push_back(added);
      hook = m_onAdd;
    }
    if (hook) hook(added);
    const HRESULT hr = m_real->AddTask(record, force, callback ? &Trampoline : nullptr, Wrap(callback, context));
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_addsReturned;
    m_changed.notify_all();
    return hr;
  }
  HRESULT CancelTask(const std::string& id) override { return m_real->CancelTask(id); }
  HRESULT Reserved10() override { return m_real->Reserved10(); }
  HRESULT GetTaskList(bool finished, std::vector<TaskListEntry>* tasks) override {
    return m_real->GetTaskList(finished, tasks);
  }
  HRESULT RemoveFinishedTask(const std::string& id) override { return m_real->RemoveFinishedTask(id); }
  HRESULT RetryTask(const std::string& id, TaskCompletionCallback callback, void* context) override {
    return m_real->RetryTask(id, callback ? &Trampoline : nullptr, Wrap(callback, context));
  }

 private:
  struct Hop {
    ScriptedTaskMgr* owner;
    TaskCompletionCallback callback;
    void* context;
  };
  void* Wrap(TaskCompletionCallback callback, void* context) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_hops.push_back(Hop{this, callback, context});
    return &m_hops.back();
  }
  static void Trampoline(TaskDataBase* record, void* context) {
    Hop* hop = static_cast<Hop*>(context);
    hop->callback(record, hop->context);
    std::lock_guard<std::mutex> guard(hop->owner->m_lock);
    ++hop->owner->m_callbacks;
    hop->owner->m_changed.notify_all();
  }

  RefPtr<ITaskMgr> m_real;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::map<std::string, Answer> m_answers;
  std::vector<Added> m_added;
  std::vector<std::string> m_executed;
  std::list<Hop> m_hops;  // never moved: their addresses are the callbacks' contexts
  std::function<void(const Added&)> m_onAdd;
  int m_addsReturned = 0;
  int m_callbacks = 0;
};
