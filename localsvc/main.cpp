// ostrel_localsvc: the storage service on a loopback port, for tests, benchmarks and
// the demo. The options and the control endpoints are listed by --help.
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
    "  --global-version V      the answer of /xsvr/getGlobalVersion (default 2)\n"
    "  --account USER:PASSWORD an account to sign in with (repeatable)\n"
    "  --help                  this text\n"
    "Prints \"listening on 127.0.0.1:<port>\" and serves until SIGTERM or SIGINT; all state\n"
    "lives in memory.\n"
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
    "  POST /test/inject {path,count?,delay_ms?,drop?,status?,word?,result?,body?,body_base64?,garbage?,\n"
    "                     zeros?,gzip?,headers?,content_type?,chunk?,chunk_ms?,excess?} or an array of them;\n"
    "                     excess: the reply followed by that many more bytes, with no length announced\n"
    "                     (a service sending more than it announced); the log counts reply_sent\n"
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
