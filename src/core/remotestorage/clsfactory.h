// CClsFactory: the one place where the service client creates its transports. Every
// request creates a fresh transport through it and releases it before returning.
// Tests replace the creation function to watch or script the exchanges.
#pragma once

#include <functional>
#include <mutex>

#include "common/resultcodes.h"
#include "core/interfaces/itransport.h"

// Creates a transport with one reference in *transport. As CreateTransport, it may
// store a pointer also when it fails; the caller releases it in both cases.
using TransportCreateFn = std::function<HRESULT(ITransport** transport)>;

class CClsFactory {
 public:
  // The process-wide instance; its creation function is CreateTransport (the user's
  // proxy and speed settings) until a test replaces it.
  static CClsFactory& GetInstance();

  // A new transport from the creation function. Any thread may call it.
  HRESULT CreateTransport(ITransport** transport);

  // Replaces the creation function (an empty one restores CreateTransport) and
  // returns the previous one. Requests already running keep the transport they have.
  TransportCreateFn SetTransportCreator(TransportCreateFn creator);

 private:
  CClsFactory();

  std::mutex m_mutex;
  TransportCreateFn m_pfnTransport;
};
