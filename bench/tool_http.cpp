// Moves one file over HTTP through CTransport, for timing against the curl command:
//   bench_http download <url> <file>   Download into the file
//   bench_http upload <url> <file>     Upload of the file as the form part "FileCont";
//                                      the local service's /test/sink answers the size
// No proxy and no speed limits. Exits with 0 only when the transfer succeeded.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "core/remotestorage/transport/transport.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: bench_http download <url> <file>\n       bench_http upload <url> <file>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return Usage();
  std::string mode = argv[1], url = argv[2], file = argv[3];
  ITransport* raw = nullptr;
  HRESULT hr = CreateTransportWith(DirectTransportSettings(), &raw);
  RefPtr<ITransport> transport = RefPtr<ITransport>::Adopt(raw);
  if (FAILED(hr)) {
    std::fprintf(stderr, "bench_http: no transport: %x\n", static_cast<unsigned>(hr));
    return 1;
  }
  if (mode == "download") {
    hr = transport->Download(url, file, "v:2&User-Agent:ostrel", "", 0);
  } else if (mode == "upload") {
    std::string reply;
    hr = transport->Upload(url, file, "v:2&User-Agent:ostrel", "", &reply, 0);
    struct stat st {};
    if (SUCCEEDED(hr) && (::stat(file.c_str(), &st) != 0 ||
                          reply.find("\"received\":" + std::to_string(st.st_size)) == std::string::npos)) {
      std::fprintf(stderr, "bench_http: the service received something else: %s\n", reply.c_str());
      return 1;
    }
  } else {
    return Usage();
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "bench_http: %s failed: %x\n", mode.c_str(), static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
