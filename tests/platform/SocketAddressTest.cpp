// Addresses of either family: which hosts give which addresses without a lookup, and a
// real connection over each loopback with both ends' addresses as text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Socket.h"

namespace {

TEST(SocketAddressTest, ResolvesNumericAddressesAndLocalhostWithoutALookup) {
  struct TCase {
    std::string Host;
    int Result;
    std::vector<std::string> Addresses;
  };
  const std::vector<TCase> cases = {
      {"127.0.0.1", 0, {"127.0.0.1"}}, {"LocalHost", 0, {"127.0.0.1"}},     {"::1", 0, {"::1"}},
      {"[::1]", 0, {"::1"}},           {"2001:db8::7", 0, {"2001:db8::7"}}, {"", WSAHOST_NOT_FOUND, {}},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> addresses = {"stale"};
    EXPECT_EQ(ResolveHostAddresses(c.Host, addresses), c.Result) << c.Host;
    EXPECT_EQ(addresses, c.Addresses) << c.Host;
  }
  for (const char* numeric : {"10.0.0.5", "::1", "[fe80::1]", "::ffff:10.0.0.5"})
    EXPECT_TRUE(IsNumericAddress(numeric)) << numeric;
  for (const char* name : {"localhost", "10.0.0", "ftp.example.org", "[10.0.0.5]", ""})
    EXPECT_FALSE(IsNumericAddress(name)) << name;
  EXPECT_TRUE(IsIPv6Address("[::1]"));
  EXPECT_FALSE(IsIPv6Address("127.0.0.1"));
}

TEST(SocketAddressTest, ConnectsOverEitherLoopback) {
  for (const std::string loopback : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(loopback);
    TSocket listener, client, accepted;
    ASSERT_EQ(listener.Open(loopback), 0);
    if (listener.Bind(loopback, 0) != 0) {
      if (loopback == "::1") GTEST_SKIP() << "no IPv6 loopback here";
      FAIL() << "cannot bind " << loopback;
    }
    ASSERT_EQ(listener.Listen(1), 0);
    std::string address;
    uint16_t port = 0;
    ASSERT_EQ(listener.LocalAddress(address, port), 0);
    EXPECT_EQ(address, loopback);
    ASSERT_EQ(client.Open(loopback), 0);
    ASSERT_EQ(client.Connect(loopback, port, 2000), 0);
    ASSERT_EQ(listener.Accept(accepted, 2000), 0);
    std::string peer;
    uint16_t peerPort = 0;
    ASSERT_EQ(client.PeerAddress(peer, peerPort), 0);
    EXPECT_EQ(peer, loopback);
    EXPECT_EQ(peerPort, port);
    ASSERT_EQ(accepted.PeerAddress(peer, peerPort), 0);
    EXPECT_EQ(peer, loopback);
    // A socket's own family decides what "any address" means.
    TSocket any;
    ASSERT_EQ(any.Open(loopback), 0);
    EXPECT_EQ(any.Bind("", 0), 0);
    ASSERT_EQ(any.LocalAddress(address, port), 0);
    EXPECT_EQ(address, loopback == "::1" ? "::" : "0.0.0.0");
  }
}

}  // namespace
