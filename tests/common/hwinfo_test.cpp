// The computer id: its exact text from injected hardware facts (digest checked with
// md5sum), the adapters that count, and the real source's stability across processes.
#include "common/hwinfo.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "support/testenv.h"

namespace {

class FakeHardware final : public IHardwareSource {
 public:
  std::string MachineId() override { return machineId; }
  std::vector<NetAdapter> Adapters() override { return adapters; }
  std::string HostName() override { return host; }

  void Add(const std::string& name, std::initializer_list<uint8_t> mac, bool physical = true,
           const std::string& description = "") {
    NetAdapter a;
    a.name = name;
    a.description = description.empty() ? name : description;
    std::copy(mac.begin(), mac.end(), a.address);
    a.physical = physical;
    adapters.push_back(a);
  }

  std::string machineId = "0123456789abcdef0123456789abcdef\n";
  std::vector<NetAdapter> adapters;
  std::string host = "build-box.example.org";
};

std::string Md5sumPeer(const std::string& text) {
  std::string out;
  EXPECT_EQ(RunCommand("printf %s " + ShellQuote(text) + " | md5sum", &out), 0);
  return out.substr(0, 32);
}

class HardwareInfoTest : public OstrelTest {
 protected:
  void SetUp() override {
    OstrelTest::SetUp();
    m_hw.Add("eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
    hwinfocontrol::SetSource(&m_hw);
  }
  void TearDown() override {
    hwinfocontrol::SetSource(nullptr);
    OstrelTest::TearDown();
  }
  FakeHardware m_hw;
};

TEST_F(HardwareInfoTest, IdTextFromMachineIdAdaptersAndName) {
  std::string digest = Md5sumPeer("0123456789abcdef0123456789abcdef00-1A-2B-3C-4D-5E");
  EXPECT_EQ(GetHardwareInfoString(), digest + "|BUILD-BOX");
  EXPECT_EQ(GetComputerId(), "ostrel-" + digest + "|BUILD-BOX");
  std::string without;
  ZHardwareInfo info;
  EXPECT_TRUE(info.GetHardwareInfoMD5(&without, true));
  EXPECT_EQ(without, Md5sumPeer("0123456789abcdef0123456789abcdef"));
}

// Virtual, randomised, multicast and empty addresses never change the id; the
// physical ones count in the order of their names.
TEST_F(HardwareInfoTest, OnlyPhysicalUniversalAddressesCountInNameOrder) {
  std::string before = GetComputerId();
  m_hw.Add("docker0", {0x02, 0x42, 0xAC, 0x11, 0x00, 0x02}, false);   // virtual bridge
  m_hw.Add("veth12ab", {0x0E, 0x11, 0x22, 0x33, 0x44, 0x55}, false);  // container end
  m_hw.Add("wlan0", {0x3A, 0x11, 0x22, 0x33, 0x44, 0x55});            // randomised address
  m_hw.Add("usb0", {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01});             // multicast bit
  m_hw.Add("dummy", {0, 0, 0, 0, 0, 0});                              // no address
  m_hw.Add("eth9", {0x00, 0x50, 0x56, 0xC0, 0x00, 0x08}, true, "VMware Virtual Ethernet Adapter");
  EXPECT_EQ(GetComputerId(), before) << "none of these may change the id";
  EXPECT_EQ(ZHardwareInfo().GetMacAddresses(), "00-1A-2B-3C-4D-5E") << "no stray '+'";

  m_hw.Add("eno1", {0x00, 0x00, 0x00, 0x00, 0x00, 0x01});
  EXPECT_EQ(ZHardwareInfo().GetMacAddresses(), "00-00-00-00-00-01+00-1A-2B-3C-4D-5E");
  std::string id = GetComputerId();
  std::reverse(m_hw.adapters.begin(), m_hw.adapters.end());
  EXPECT_EQ(GetComputerId(), id);
}

TEST_F(HardwareInfoTest, RealSourceIsStableAcrossProcesses) {
  hwinfocontrol::SetSource(nullptr);
  std::string here = GetComputerId();
  EXPECT_TRUE(std::regex_match(here, std::regex("^ostrel-[0-9a-f]{32}\\|[^']+$"))) << here;
  EXPECT_EQ(GetComputerId(), here);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::ofstream(PathIn("child-id"), std::ios::binary) << GetComputerId();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(ReadFileBytes(PathIn("child-id")), here);
}

}  // namespace
