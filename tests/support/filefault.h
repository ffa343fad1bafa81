// Injected failures of the platform file layer for the life of one object: writes,
// fsyncs or renames whose path matches fail with a chosen errno.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/posixfile.h"

class ScopedFileFault {
 public:
  // Fails the op on every path that contains pathPart ("" matches every path), after
  // skip operations of that kind on such paths went through, with the errno err.
  ScopedFileFault(FileOp op, std::string pathPart, int err, int skip = 0) : m_state(std::make_shared<State>()) {
    m_state->op = op;
    m_state->pathPart = std::move(pathPart);
    m_state->err = err;
    m_state->skip = skip;
    auto state = m_state;
    SetFileFaultHook([state](FileOp o, const std::string& path) -> int {
      if (o != state->op || path.find(state->pathPart) == std::string::npos) return 0;
      if (state->seen.fetch_add(1) < state->skip) return 0;
      state->injected.fetch_add(1);
      return state->err;
    });
  }
  // Any hook of the caller's (returns 0 or the errno to inject).
  explicit ScopedFileFault(FileFaultHook hook) : m_state(std::make_shared<State>()) {
    SetFileFaultHook(std::move(hook));
  }
  ~ScopedFileFault() { SetFileFaultHook(nullptr); }
  ScopedFileFault(const ScopedFileFault&) = delete;
  ScopedFileFault& operator=(const ScopedFileFault&) = delete;

  // Number of failures injected so far (by the matching form).
  int Injected() const { return m_state->injected.load(); }

 private:
  struct State {
    FileOp op = FileOp::kWrite;
    std::string pathPart;
    int err = 0;
    int skip = 0;
    std::atomic<int> seen{0};
    std::atomic<int> injected{0};
  };
  std::shared_ptr<State> m_state;
};
