// The computer id the client sends at sign-in: "ostrel-" + 32 lower-case hex digits +
// "|" + the computer name, with every apostrophe removed. It stays the same across
// runs and processes on one computer and differs between computers. It is derived
// from the system's machine id and the hardware addresses of the physical network
// adapters only: virtual adapters (bridges, containers, VPN tunnels), randomised
// (locally administered) and multicast addresses are left out, so plugging in such
// an adapter does not change the id. It is no licence or protection check.
//
// Every fact comes from an IHardwareSource; tests put their own in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct NetAdapter {
  std::string name;         // interface name
  std::string description;  // what the adapter calls itself (the interface name here)
  uint8_t address[6] = {};  // hardware address
  bool physical = false;    // backed by a device (not a software interface)
};

class IHardwareSource {
 public:
  virtual ~IHardwareSource() = default;
  // The system's machine id text ("" when none).
  virtual std::string MachineId() = 0;
  // Every network adapter with a 6-byte hardware address.
  virtual std::vector<NetAdapter> Adapters() = 0;
  // The host name.
  virtual std::string HostName() = 0;
};

// The real source: /etc/machine-id (else /var/lib/dbus/machine-id), the interfaces
// from getifaddrs (physical when /sys/class/net/<name>/device exists) and gethostname.
IHardwareSource* SystemHardwareSource();

class ZHardwareInfo {
 public:
  // source must outlive the object; nullptr means the process's current source.
  explicit ZHardwareInfo(IHardwareSource* source = nullptr);

  // The digest of the machine text, followed by the adapter text unless
  // withoutAdapters: 32 lower-case hex digits in *out. Always true.
  bool GetHardwareInfoMD5(std::string* out, bool withoutAdapters);
  // The machine id, trimmed (stands where the system disk's identity was used).
  std::string GetDiskInfo();
  // The addresses of the adapters that count, as "%02X-%02X-%02X-%02X-%02X-%02X",
  // ordered by interface name and joined by "+": physical, not loopback, not all
  // zero, not multicast or locally administered, description without "vmware".
  std::string GetMacAddresses();
  // The host name as a NetBIOS name: up to the first '.', upper-case, at most 15
  // characters.
  std::string GetComputerName();

 private:
  IHardwareSource* m_source;
};

// 32 hex digits of the MD5 + "|" + the computer name.
std::string GetHardwareInfoString();
// "ostrel-" + GetHardwareInfoString() without apostrophes.
std::string GetComputerId();
// MD5 of the bytes as 32 lower-case hex digits.
std::string MD5String(const void* data, size_t length);

namespace hwinfocontrol {
// Replaces the process's hardware source (nullptr restores the system's). The source
// must outlive its use.
void SetSource(IHardwareSource* source);
}  // namespace hwinfocontrol
