// Readers beside a writer of the proxy settings: the five values always come from
// one save, never a mix of two.
#include <atomic>
#include <thread>

#include "common/registry.h"
#include "support/testenv.h"

namespace {

class RegistryConcurrencyTest : public OstrelTest {};

TEST_F(RegistryConcurrencyTest, ProxySettingsAreReadAsOneSet) {
  ASSERT_EQ(SaveProxySettings("host0", "port0", "user0", "pass0", 0), S_OK);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint32_t i = 1; i <= 60; ++i) {
      std::string n = std::to_string(i);
      EXPECT_EQ(SaveProxySettings("host" + n, "port" + n, "user" + n, "pass" + n, i), S_OK);
    }
    done = true;
  });
  int reads = 0, mixed = 0;
  while (!done.load() || reads == 0) {
    std::string ip, port, user, pass;
    uint32_t type = 0;
    LoadProxySettings(&ip, &port, &user, &pass, &type);
    std::string n = std::to_string(type);
    mixed += ip != "host" + n || port != "port" + n || user != "user" + n || pass != "pass" + n;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
}

}  // namespace
