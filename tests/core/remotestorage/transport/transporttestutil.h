// Helpers shared by the tests of the HTTP client, the transport and the network-state
// tracker.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "common/unknown.h"
#include "core/interfaces/isynccenter.h"
#include "core/remotestorage/transport/transportsettings.h"
#include "support/textcodec.h"

// A loopback port on which nothing listens: bound once, then released.
inline int ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Deflates the bytes; windowBits 31 gives gzip framing, 15 zlib framing.
inline std::string Deflate(const std::string& in, int windowBits = 31) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(in.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A gzip stream of n zero bytes, made without holding them.
inline std::string GzipOfZeros(size_t n) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, 31, 9, Z_RLE);
  std::string zeros(1 << 20, '\0'), out, buf(1 << 16, '\0');
  while (true) {
    size_t take = std::min(n, zeros.size());
    n -= take;
    zs.next_in = reinterpret_cast<Bytef*>(zeros.data());
    zs.avail_in = static_cast<uInt>(take);
    int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(buf.data());
      zs.avail_out = static_cast<uInt>(buf.size());
      rc = deflate(&zs, flush);
      out.append(buf.data(), buf.size() - zs.avail_out);
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    if (n == 0) break;
  }
  deflateEnd(&zs);
  return out;
}

// The process's peak resident set so far, in KiB.
inline long PeakRssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A sync centre that only records the override calls the tracker makes.
class TrackerSyncCenter final : public CUnknownImpl<ISyncCenter> {
 public:
  struct Call {
    bool set;  // false: ClearOverrideState
    NuvraState state;
  };
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }
  size_t CallCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls.size();
  }

  HRESULT SetOverrideState(const NuvraState* state) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back({true, *state});
    return S_OK;
  }
  HRESULT ClearOverrideState() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back({false, NuvraState()});
    return S_OK;
  }

  HRESULT Init(const std::string&, IShellAdapter*) override { return E_NOTIMPL; }
  HRESULT UnInit() override { return E_NOTIMPL; }
  HRESULT GetUserValue(std::string*, const std::string&, const std::string&) override { return E_NOTIMPL; }
  HRESULT SetUserValue(const std::string&, const std::string&) override { return E_NOTIMPL; }
  HRESULT Login(const std::string&, const std::string&, int32_t) override { return E_NOTIMPL; }
  HRESULT UnBind() override { return E_NOTIMPL; }
  HRESULT TryLogin(int32_t) override { return E_NOTIMPL; }
  HRESULT GetState(NuvraState*) override { return E_NOTIMPL; }
  HRESULT PostState(const NuvraState*, bool) override { return E_NOTIMPL; }
  HRESULT PostEvent(uint32_t, RecordTree*, bool) override { return E_NOTIMPL; }
  HRESULT Start() override { return E_NOTIMPL; }
  HRESULT Stop() override { return E_NOTIMPL; }
  HRESULT GetLocalSyncPath(std::string*) override { return E_NOTIMPL; }
  HRESULT GetUserInfo(std::string*, std::string*, std::string*, std::string*) override { return E_NOTIMPL; }
  HRESULT GetInterface(GUID, void**) override { return E_NOTIMPL; }
  HRESULT CheckProxyServer() override { return E_NOTIMPL; }

 private:
  std::mutex m_mutex;
  std::vector<Call> m_calls;
};
