#include "common/hwinfo.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/log.h"
#include "common/md5.h"
#include "common/strformat.h"
#include "common/strhelper.h"
#include "platform/posixfile.h"

namespace {

constexpr size_t kNetBiosNameChars = 15;

// A machine-id file ("" when it cannot be read or is too large to be one).
std::string ReadIdFile(FileEnv* env, const char* path) {
  std::string text;
  ReadWholeFile(path, 4096, &text, env);
  return text;
}

std::string TrimSpace(std::string s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.back())) s.pop_back();
  size_t i = 0;
  while (i < s.size() && blank(s[i])) ++i;
  return s.substr(i);
}

// The system's own facts; the machine-id files and the adapters' device entries are
// read through env.
class CSystemHardwareSource final : public IHardwareSource {
 public:
  explicit CSystemHardwareSource(FileEnv* env) : m_env(env) {}

  std::string MachineId() override {
    std::string id = TrimSpace(ReadIdFile(m_env, "/etc/machine-id"));
    if (id.empty()) id = TrimSpace(ReadIdFile(m_env, "/var/lib/dbus/machine-id"));
    return id;
  }

  std::vector<NetAdapter> Adapters() override {
    std::vector<NetAdapter> out;
    struct ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (struct ifaddrs* a = list; a; a = a->ifa_next) {
      if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || !a->ifa_name) continue;
      const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(a->ifa_addr);
      if (ll->sll_halen != 6 || (a->ifa_flags & IFF_LOOPBACK)) continue;
      NetAdapter n;
      n.name = a->ifa_name;
      n.description = a->ifa_name;
      std::memcpy(n.address, ll->sll_addr, 6);
      std::string device = "/sys/class/net/" + n.name + "/device";
      n.physical = n.name.find('/') == std::string::npos && m_env->Access(device, F_OK);
      out.push_back(std::move(n));
    }
    ::freeifaddrs(list);
    return out;
  }

  std::string HostName() override {
    char buf[256] = {};
    if (::gethostname(buf, sizeof(buf) - 1) != 0) return std::string();
    return buf;
  }

 private:
  FileEnv* m_env;
};

std::atomic<IHardwareSource*> g_source{nullptr};

IHardwareSource* CurrentSource() {
  IHardwareSource* s = g_source.load(std::memory_order_acquire);
  return s ? s : SystemHardwareSource();
}

bool CountsAsHardware(const NetAdapter& a) {
  if (!a.physical) return false;
  bool allZero = std::all_of(std::begin(a.address), std::end(a.address), [](uint8_t b) { return b == 0; });
  if (allZero) return false;
  if (a.address[0] & 0x03) return false;  // multicast or locally administered
  return ToLowerAscii(a.description).find("vmware") == std::string::npos;
}

}  // namespace

IHardwareSource* SystemHardwareSource() {
  static CSystemHardwareSource* source = new CSystemHardwareSource(FileEnv::Default());
  return source;
}

namespace hwinfocontrol {
void SetSource(IHardwareSource* source) { g_source.store(source, std::memory_order_release); }
}  // namespace hwinfocontrol

ZHardwareInfo::ZHardwareInfo(IHardwareSource* source) : m_source(source ? source : CurrentSource()) {}

std::string ZHardwareInfo::GetDiskInfo() { return TrimSpace(m_source->MachineId()); }

std::string ZHardwareInfo::GetMacAddresses() {
  std::vector<NetAdapter> adapters = m_source->Adapters();
  std::sort(adapters.begin(), adapters.end(),
            [](const NetAdapter& x, const NetAdapter& y) { return x.name < y.name; });
  std::string text;
  for (const NetAdapter& a : adapters) {
    if (!CountsAsHardware(a)) continue;
    if (!text.empty()) text += "+";
    text += StringFormat("%02X-%02X-%02X-%02X-%02X-%02X", a.address[0], a.address[1], a.address[2], a.address[3],
                         a.address[4], a.address[5]);
  }
  return text;
}

std::string ZHardwareInfo::GetComputerName() {
  std::string host = m_source->HostName();
  host = host.substr(0, host.find('.'));
  if (host.size() > kNetBiosNameChars) host.resize(kNetBiosNameChars);
  for (char& c : host)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return host;
}

bool ZHardwareInfo::GetHardwareInfoMD5(std::string* out, bool withoutAdapters) {
  std::string text = GetDiskInfo();
  if (!withoutAdapters) text += GetMacAddresses();
  if (out) *out = MD5String(text.data(), text.size());
  return true;
}

std::string MD5String(const void* data, size_t length) { return Md5Hex(data, length); }

std::string GetHardwareInfoString() {
  ZHardwareInfo info;
  std::string digest;
  info.GetHardwareInfoMD5(&digest, false);
  std::string name = info.GetComputerName();
  if (name.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(szComputerId)");
  return digest + "|" + name;
}

std::string GetComputerId() {
  std::string text = GetHardwareInfoString();
  text.erase(std::remove(text.begin(), text.end(), '\''), text.end());
  return "ostrel-" + text;
}
