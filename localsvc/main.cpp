// ostrel_localsvc: the storage service on a loopback port, for tests, benchmarks and
// the demo. The options and the control endpoints are listed by --help.
//
// Prints "listening on 127.0.0.1:<port>" once it accepts connections (port 0, the
// default, picks a free port), serves until SIGTERM or SIGINT, and then exits with 0.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bounds.h"
#include "service.h"

namespace {

const char kUsage[] =
    "usage: ostrel_localsvc [options]\n"
    "  --port N                listen on 127.0.0.1:N (default 0: any free port)\n"
    "  --data DIR              files served under /test/files/\n"
    "  --tls-cert FILE --tls-key FILE   serve https\n"
    "  --threads N             worker threads (default 64; each held push poll takes one)\n"
    "  --push-hold-ms N        a push poll (/sync/get) answers after N ms when no version\n"
    "                          moves (default 25000, at most an hour; 0: only when one moves)\n"
    "  --global-version V      the answer of /xsvr/getGlobalVersion (default 2, or the one\n"
    "                          the state folder holds)\n"
    "  --account USER:PASSWORD an account to sign in with (repeatable; one whose user name\n"
    "                          the state folder holds is kept as it is there)\n"
    "  --state DIR             keep the state in DIR across restarts (see below); without it\n"
    "                          all state lives in memory\n"
    "  --state-sync-ms N       sync the state folder to disk every N ms (default 200)\n"
    "  --state-compact-bytes N fold the journal into a new snapshot once it holds more than\n"
    "                          N bytes and more than the snapshot (default 16777216)\n"
    "  --log-requests N        the request log keeps the latest N requests (default 10000)\n"
    "  --log-bytes N           ... holding at most N bytes of bodies (default 67108864)\n"
    "  --help                  this text\n"
    "Prints \"listening on 127.0.0.1:<port>\" and serves until SIGTERM or SIGINT.\n"
    "\n"
    "State (--state DIR): accounts, tokens, items with their tree, recycle bin, shares and\n"
    "versions (opVer, shareVer), the global version, and file contents (blocks and whole\n"
    "files of every version kept) survive a restart. Not kept: transfer tickets (a stub\n"
    "handed out before the restart is unknown after it: the transfer must ask again), held\n"
    "push polls, the request log, faults, transfer hooks and checks. Every change is\n"
    "written to DIR before its reply goes out, so a killed service (SIGKILL included)\n"
    "loses nothing it answered. DIR is synced to disk every 200 ms (--state-sync-ms), so a\n"
    "crash of the machine can lose the changes of that last while: never part of one,\n"
    "never one without those before it. DIR holds snapshot, journal.<n> (the changes since,\n"
    "one checksummed frame each; a torn last one is dropped at start) and blobs/. A damaged\n"
    "snapshot or blob stops the start (exit status 1). When DIR can no longer be written,\n"
    "every request answers HTTP 500 and the service ends with exit status 1.\n"
    "\n"
    "A file-system API request, as the client sends it: a POST to /xsvr/<method>/ with the\n"
    "header lines \"v:2\" (\"v:3\" for the block protocol) and \"User-Agent:ostrel\" (libcurl\n"
    "adds Content-Type: application/x-www-form-urlencoded, which is ignored), and the\n"
    "method's parameters in order as an XML body that escapes only &, < and >; a listing\n"
    "of the root folder:\n"
    "  <?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra><token>T</token><fileId></fileId></nuvra>\n"
    "Replies are HTTP 200 with <nuvra result=\"ok\">values</nuvra> or another result word.\n"
    "Sign in, make a folder and list the root (--port 8080 --account alice:secret):\n"
    "  T=$(curl -s -H v:2 -H User-Agent:ostrel -d '<?xml version=\"1.0\" encoding=\"utf-8\" ?><nuvra>"
    "<user>alice</user><password>secret</password><deviceId>ostrel-0123456789abcdef0123456789abcdef|demo"
    "</deviceId><clientName>ostrel</clientName><clientVersion>1.0.0.1</clientVersion></nuvra>' "
    "http://127.0.0.1:8080/xsvr/login/ | sed -n 's|.*<token>\\(.*\\)</token>.*|\\1|p')\n"
    "  curl -s -H v:2 -H User-Agent:ostrel -d \"<?xml version=\\\"1.0\\\" encoding=\\\"utf-8\\\" ?><nuvra>"
    "<token>$T</token><parentId></parentId><name>Docs</name></nuvra>\" http://127.0.0.1:8080/xsvr/newFolder/\n"
    "  curl -s -H v:2 -H User-Agent:ostrel -d \"<?xml version=\\\"1.0\\\" encoding=\\\"utf-8\\\" ?><nuvra>"
    "<token>$T</token><fileId></fileId></nuvra>\" http://127.0.0.1:8080/xsvr/dir/\n"
    "\n"
    "Control endpoints (JSON, neither recorded nor faulted):\n"
    "  POST /test/inject, /test/reset; GET /test/log[?path=P]   faults and the request log\n"
    "  GET  /test/log -> {requests, dropped}: the latest requests, oldest first, at most\n"
    "                    --log-requests of them holding at most --log-bytes of bodies (each\n"
    "                    body and part cut to 1 MiB); older ones are dropped, and counted\n"
    "  POST /test/inject {path,count?,delay_ms?,hold?,drop?,status?,word?,result?,body?,body_base64?,\n"
    "                     garbage?,zeros?,gzip?,headers?,content_type?,chunk?,chunk_ms?,excess?} or an array\n"
    "                     of them; excess: the reply followed by that many more bytes, with no length\n"
    "                     announced (a service sending more than it announced); the log counts reply_sent;\n"
    "                     hold: the request waits at the gate of that name until it is released\n"
    "  POST /test/release {hold}   opens that gate: the requests held there go on (/test/reset closes all)\n"
    "  POST /test/fs/account {user,password,userId?,email?,nickName?,active?,total?,opVer?,shareVer?}\n"
    "  POST /test/fs/token {userId,expired?} | {token,expired}\n"
    "  POST /test/fs/item {userId,parentId?,name,type?,size?,fileVer?,sha1?,createdTime?,modTime?,\n"
    "                      modifier?,deleted?}\n"
    "  POST /test/fs/share {fileId,to,writable?}\n"
    "  POST /test/fs/versions {userId,opVer?,shareVer?}\n"
    "  POST /test/fs/global-version {version}\n"
    "  GET  /test/fs/state[?userId=U]   held polls; U's versions and items\n"
    "  POST /test/xfer/file {userId,name,parentId?,fileVer?,modTime?} | {fileId},\n"
    "                       text | content_base64 | path, format? (blocks | blocks-lzma | whole | whole-7z)\n"
    "  POST /test/xfer/corrupt {fileId,index,count?}\n"
    "  POST /test/xfer/metadata {path,index?,blockId?,dropKey?,count?}\n"
    "  POST /test/xfer/thumbnail {fileId,entries:[{name,text|data_base64,claimedSize?}]}\n"
    "  GET  /test/xfer/state[?fileId=F]   blocks held, checks made, F's versions\n"
    "  GET  /test/xfer/content?fileId=F[&fileVer=V]   a version's plain bytes\n"
    "Test endpoints: /test/echo, /test/status/<n>, /test/sleep?ms=|s=, /test/redirect?n=&to=,\n"
    "  /test/trickle?n=&chunk=&ms=, /test/bytes?n=&seed=, /test/drop, /test/sink, /test/files/<name>\n"
    "Limits: waits (ms, s, delay_ms, chunk_ms) are cut to an hour and sizes (n, chunk, zeros, excess)\n"
    "to 64 MiB; a negative one, or a file (path) over 64 MiB, is refused with HTTP 400.\n"
    "A request body over 320 MiB is refused with HTTP 413, except by /test/sink.\n";

void Usage() { std::fputs(kUsage, stderr); }

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
    } else if (arg == "--push-hold-ms") {
      options.pushHoldMs = std::clamp<long long>(std::atoll(next()), 0, localsvc::kLongestWait.count());
    } else if (arg == "--global-version") {
      options.globalVersion = next();
    } else if (arg == "--account") {
      options.accounts.push_back(next());
    } else if (arg == "--state") {
      options.stateDir = next();
    } else if (arg == "--log-requests" || arg == "--log-bytes" || arg == "--state-sync-ms" ||
               arg == "--state-compact-bytes") {
      char* end = nullptr;
      const char* text = next();
      errno = 0;
      unsigned long long n = std::strtoull(text, &end, 10);
      const bool positive = arg == "--log-requests" || arg == "--state-sync-ms";
      if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || (positive && n == 0) ||
          (arg == "--state-sync-ms" && n > static_cast<unsigned long long>(localsvc::kLongestWait.count()))) {
        Usage();
        return 2;
      }
      if (arg == "--log-requests")
        options.logBounds.requests = static_cast<size_t>(n);
      else if (arg == "--log-bytes")
        options.logBounds.bodyBytes = static_cast<size_t>(n);
      else if (arg == "--state-sync-ms")
        options.statePolicy.syncPeriod = std::chrono::milliseconds(n);
      else
        options.statePolicy.compactBytes = n;
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
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
  if (!service.StateNotes().empty()) std::fprintf(stderr, "ostrel_localsvc: %s", service.StateNotes().c_str());
  if (!service.Valid(&error)) {
    std::fprintf(stderr, "ostrel_localsvc: %s\n", error.c_str());
    return 1;
  }
  // A state that can no longer be written ends the service, as a stop signal does.
  service.OnStateFailure([] { ::kill(::getpid(), SIGTERM); });
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
  if (std::string why = service.StateFailure(); !why.empty()) {
    std::fprintf(stderr, "ostrel_localsvc: the state cannot be kept: %s\n", why.c_str());
    return 1;
  }
  return failed ? 1 : 0;
}
