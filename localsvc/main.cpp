// ostrel_localsvc: the storage service on a loopback port, for tests, benchmarks and
// the demo.
//
//   ostrel_localsvc [--port N] [--data DIR] [--tls-cert FILE --tls-key FILE] [--threads N]
//
// Prints "listening on 127.0.0.1:<port>" once it accepts connections (port 0, the
// default, picks a free port), serves until SIGTERM or SIGINT, and then exits with 0.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "service.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: ostrel_localsvc [--port N] [--data DIR] [--tls-cert FILE --tls-key FILE] "
               "[--threads N]\n");
}

}  // namespace

int main(int argc, char** argv) {
  localsvc::ServiceOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--port") {
      options.port = std::atoi(next());
    } else if (arg == "--data") {
      options.dataDir = next();
    } else if (arg == "--tls-cert") {
      options.tlsCert = next();
    } else if (arg == "--tls-key") {
      options.tlsKey = next();
    } else if (arg == "--threads") {
      options.threads = std::max(1, std::atoi(next()));
    } else {
      Usage();
      return 2;
    }
  }
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    Usage();
    return 2;
  }

  // Writes to a closed connection must fail, not end the process. The stop signals are
  // taken by this thread alone (sigwait), so every other thread starts with them blocked.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  localsvc::Service service(options);
  std::string error;
  if (!service.Valid(&error)) {
    std::fprintf(stderr, "ostrel_localsvc: %s\n", error.c_str());
    return 1;
  }
  int port = service.Bind();
  if (port <= 0) {
    std::fprintf(stderr, "ostrel_localsvc: cannot listen on 127.0.0.1:%d\n", options.port);
    return 1;
  }

  bool failed = false;
  std::thread server([&] {
    if (!service.Serve()) {
      failed = true;
      ::kill(::getpid(), SIGTERM);
    }
  });
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  service.Stop();
  server.join();
  return failed ? 1 : 0;
}
