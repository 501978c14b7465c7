// Address record: text forms, parsing, family switching and system addresses.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "libpal/network/os_ipaddr.h"
#include "str_log_capture.h"

namespace {

std::string addr_text(const os_ipaddr &addr) {
    char buf[OS_UNIXADDR_CSTR_MAXN];
    const char *text = os_ipaddr_cstr(&addr, buf, sizeof(buf));
    return text ? text : "(null)";
}

std::string ip_text(const os_ipaddr &addr) {
    char buf[OS_IPADDR_CSTR_MAXN];
    const char *text = os_ipaddr_ip_cstr(&addr, buf, sizeof(buf));
    return text ? text : "(null)";
}

os_ipaddr parsed(const char *text, uint16_t port) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_port_set(&addr, port);
    EXPECT_TRUE(os_ipaddr_ip_cstr_set(&addr, text)) << text;
    return addr;
}

}  // namespace

TEST(OsIpaddrText, RecordWithoutIpPrintsZeroAddressAndZeroPort) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    EXPECT_EQ(addr_text(addr), "0.0.0.0:0");
    os_ipaddr_port_set(&addr, 8080);
    os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(addr_text(addr), "0.0.0.0:0");
    EXPECT_EQ(ip_text(addr), "::");
}

TEST(OsIpaddrText, Ipv6LoopbackPrintsEightGroupsInBrackets) {
    EXPECT_EQ(addr_text(parsed("::1", 8080)),
              "[0000:0000:0000:0000:0000:0000:0000:0001]:8080");
}

TEST(OsIpaddrText, ShortFormCompressesTheLongestZeroRun) {
    const struct {
        const char *text;
        const char *shown;
    } rows[] = {
        {"::1", "[::1]:80"},
        {"::", "[::]:80"},
        {"2001:db8:0:0:1:0:0:1", "[2001:db8::1:0:0:1]:80"},
        {"2001:db8:0:1:0:0:0:1", "[2001:db8:0:1::1]:80"},
        {"1:2:3:4:5:6:7:8", "[1:2:3:4:5:6:7:8]:80"},
        {"1:0:3:4:5:6:7:8", "[1:0:3:4:5:6:7:8]:80"},
        {"fe80::1%2", "[fe80::1%2]:80"},
        {"1::", "[1::]:80"},
        {"127.0.0.1", "127.0.0.1:80"},
    };
    for (const auto &row : rows) {
        os_ipaddr addr = parsed(row.text, 80);
        char buf[OS_IPADDR_CSTR_MAXN];
        EXPECT_STREQ(os_ipaddr_cstr_short(&addr, buf, sizeof buf), row.shown) << row.text;
    }
}

TEST(OsIpaddrText, Ipv4PrintsDottedWithPort) {
    EXPECT_EQ(addr_text(parsed("127.0.0.1", 12581)), "127.0.0.1:12581");
}

TEST(OsIpaddrText, SmallBufferIsRefused) {
    os_ipaddr addr = parsed("127.0.0.1", 1);
    char buf[OS_IPADDR_CSTR_MAXN - 1];
    str_log_capture log;
    EXPECT_EQ(os_ipaddr_cstr(&addr, buf, sizeof(buf)), nullptr);
    EXPECT_TRUE(str_contains(log.take(), "ipaddr && data && maxn >= OS_IPADDR_CSTR_MAXN"));
}

TEST(OsIpaddrText, LocalSocketPrintsItsPath) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    ASSERT_TRUE(os_ipaddr_unix_set(&addr, "/tmp/hubd.sock", false));
    EXPECT_EQ(addr_text(addr), "/tmp/hubd.sock");
    EXPECT_EQ(ip_text(addr), "/tmp/hubd.sock");
}

struct Ipv4Case {
    const char *text;
    bool ok;
    const char *printed;
};

class OsIpv4Parse : public testing::TestWithParam<Ipv4Case> {};

TEST_P(OsIpv4Parse, AcceptsExactlyFourDecimalPartsBelow256) {
    const Ipv4Case &c = GetParam();
    os_ipv4addr v4{};
    ASSERT_EQ(os_ipv4_cstr_set(&v4, c.text), c.ok) << c.text;
    if (!c.ok) return;
    char buf[OS_IPV4_CSTR_MAXN];
    EXPECT_STREQ(os_ipv4_cstr(&v4, buf, sizeof(buf)), c.printed);
}

INSTANTIATE_TEST_SUITE_P(Table, OsIpv4Parse,
                         testing::Values(Ipv4Case{"1.2.3.4", true, "1.2.3.4"},
                                         Ipv4Case{"01.2.3.4", true, "1.2.3.4"},
                                         Ipv4Case{"010.0.0.9", true, "10.0.0.9"},
                                         Ipv4Case{"1..3.4", true, "1.0.3.4"},
                                         Ipv4Case{"255.255.255.255", true, "255.255.255.255"},
                                         Ipv4Case{"1.2.3", false, nullptr},
                                         Ipv4Case{"1.2.3.4.5", false, nullptr},
                                         Ipv4Case{"1.2.3.256", false, nullptr},
                                         Ipv4Case{"1.2.3.99999999999", false, nullptr},
                                         Ipv4Case{"1.2.3.x", false, nullptr},
                                         Ipv4Case{"1.2.3.4 ", false, nullptr},
                                         Ipv4Case{"", false, nullptr}));

struct Ipv6Case {
    const char *text;
    bool ok;
    const char *printed;
};

class OsIpv6Parse : public testing::TestWithParam<Ipv6Case> {};

TEST_P(OsIpv6Parse, NeedsEightGroupsAfterExpansion) {
    const Ipv6Case &c = GetParam();
    os_ipv6addr v6{};
    ASSERT_EQ(os_ipv6_cstr_set(&v6, c.text), c.ok) << c.text;
    if (!c.ok) return;
    char buf[OS_IPV6_CSTR_MAXN];
    EXPECT_STREQ(os_ipv6_cstr(&v6, buf, sizeof(buf)), c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OsIpv6Parse,
    testing::Values(
        Ipv6Case{"::", true, "0000:0000:0000:0000:0000:0000:0000:0000"},
        Ipv6Case{"1::", true, "0001:0000:0000:0000:0000:0000:0000:0000"},
        Ipv6Case{"1:2:3:4:5:6:7:8", true, "0001:0002:0003:0004:0005:0006:0007:0008"},
        Ipv6Case{"2001:DB8::a:b", true, "2001:0db8:0000:0000:0000:0000:000a:000b"},
        Ipv6Case{"::ffff:10.1.2.3", true, "0000:0000:0000:0000:0000:ffff:0a01:0203"},
        Ipv6Case{"::10.1.2.3", true, "0000:0000:0000:0000:0000:0000:0a01:0203"},
        Ipv6Case{"ff02::1%3", true, "ff02:0000:0000:0000:0000:0000:0000:0001%3"},
        Ipv6Case{"1::2::3", false, nullptr}, Ipv6Case{"1:2:3:4:5:6:7", false, nullptr},
        Ipv6Case{"1:2:3:4:5:6:7:8:9", false, nullptr},
        Ipv6Case{"1:2:3:4:5:6:7:8::", false, nullptr}, Ipv6Case{"12345::", false, nullptr},
        Ipv6Case{":1::", false, nullptr}, Ipv6Case{"1::2:", false, nullptr},
        Ipv6Case{"fe80::1%", false, nullptr}, Ipv6Case{"fe80::1%x", false, nullptr},
        Ipv6Case{"g::1", false, nullptr}, Ipv6Case{"", false, nullptr}));

TEST(OsIpaddrScope, LinkLocalScopeGoesInAndComesBack) {
    os_ipaddr addr = parsed("fe80::1%7", 0);
    EXPECT_EQ(addr.u.v6.scope_id, 7u);
    EXPECT_EQ(ip_text(addr), "fe80:0000:0000:0000:0000:0000:0000:0001%7");
    os_ipaddr again = parsed(ip_text(addr).c_str(), 0);
    EXPECT_EQ(std::memcmp(&again.u.v6, &addr.u.v6, sizeof(addr.u.v6)), 0);
}

TEST(OsIpaddrScope, GlobalAddressPrintsNoScope) {
    EXPECT_EQ(ip_text(parsed("2001:db8::1%7", 0)), "2001:0db8:0000:0000:0000:0000:0000:0001");
}

TEST(OsIpaddrFamily, MappedTextSwitchesToIpv4KeepingThePort) {
    os_ipaddr addr = parsed("::ffff:10.1.2.3", 443);
    EXPECT_EQ(os_ipaddr_family(&addr), OS_IPADDR_FAMILY_IPV6);
    ASSERT_TRUE(os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4));
    EXPECT_EQ(os_ipaddr_family(&addr), OS_IPADDR_FAMILY_IPV4);
    EXPECT_EQ(addr_text(addr), "10.1.2.3:443");
}

TEST(OsIpaddrFamily, Ipv4SwitchesToMappedIpv6) {
    os_ipaddr addr = parsed("192.168.7.9", 80);
    ASSERT_TRUE(os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV6));
    EXPECT_EQ(addr_text(addr), "[0000:0000:0000:0000:0000:ffff:c0a8:0709]:80");
    ASSERT_TRUE(os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4));
    EXPECT_EQ(addr_text(addr), "192.168.7.9:80");
}

TEST(OsIpaddrFamily, UnmappedIpv6CannotBecomeIpv4) {
    os_ipaddr addr = parsed("::1", 80);
    const os_ipaddr before = addr;
    str_log_capture log;
    EXPECT_FALSE(os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4));
    EXPECT_TRUE(str_contains(log.take(), "assert failed"));
    EXPECT_EQ(std::memcmp(&addr, &before, sizeof(addr)), 0);
}

TEST(OsIpaddrFamily, LocalSocketAndIpDoNotMix) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_unix_set(&addr, "/tmp/x", false);
    str_log_capture log;
    EXPECT_FALSE(os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4));
    os_ipaddr ip = parsed("1.2.3.4", 1);
    EXPECT_FALSE(os_ipaddr_family_set(&ip, OS_IPADDR_FAMILY_UNIX));
    EXPECT_EQ(os_ipaddr_family(&ip), OS_IPADDR_FAMILY_IPV4);
}

TEST(OsIpaddrFamily, FamilyZeroEmptiesTheRecord) {
    os_ipaddr addr = parsed("1.2.3.4", 9);
    ASSERT_TRUE(os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_NONE));
    EXPECT_EQ(os_ipaddr_family(&addr), OS_IPADDR_FAMILY_NONE);
    EXPECT_EQ(os_ipaddr_port(&addr), 0);
    EXPECT_TRUE(os_ipaddr_is_empty(&addr));
}

TEST(OsIpaddrRecord, NullTextClearsFamilyAndSucceeds) {
    os_ipaddr addr = parsed("1.2.3.4", 9);
    EXPECT_TRUE(os_ipaddr_ip_cstr_set(&addr, nullptr));
    EXPECT_EQ(os_ipaddr_family(&addr), OS_IPADDR_FAMILY_NONE);
    EXPECT_TRUE(os_ipaddr_ip_is_empty(&addr));
}

TEST(OsIpaddrRecord, UnparsableTextLeavesRecordAlone) {
    os_ipaddr addr = parsed("1.2.3.4", 9);
    EXPECT_FALSE(os_ipaddr_ip_cstr_set(&addr, "not-an-address"));
    EXPECT_EQ(addr_text(addr), "1.2.3.4:9");
}

TEST(OsIpaddrRecord, CopyOfUnsetSourceTakesOnlyFamilyAndPort) {
    os_ipaddr dest = parsed("::1", 5);
    os_ipaddr src;
    os_ipaddr_clear(&src);
    os_ipaddr_family_set(&src, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr_port_set(&src, 77);
    os_ipaddr_copy(&dest, &src);
    EXPECT_EQ(os_ipaddr_family(&dest), OS_IPADDR_FAMILY_IPV4);
    EXPECT_EQ(os_ipaddr_port(&dest), 77);
    EXPECT_TRUE(os_ipaddr_is_empty(&dest));
}

TEST(OsIpaddrRecord, CopyOfIpv6KeepsScope) {
    os_ipaddr src = parsed("fe80::2%4", 6);
    os_ipaddr dest;
    os_ipaddr_clear(&dest);
    os_ipaddr_copy(&dest, &src);
    EXPECT_EQ(addr_text(dest), "[fe80:0000:0000:0000:0000:0000:0000:0002%4]:6");
}

TEST(OsIpaddrRecord, AnyMeansNoIpOrAllZeroButNeverLocal) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    EXPECT_TRUE(os_ipaddr_ip_is_any(&addr));
    EXPECT_TRUE(os_ipaddr_ip_is_any(&(addr = parsed("0.0.0.0", 0))));
    EXPECT_TRUE(os_ipaddr_ip_is_any(&(addr = parsed("::", 0))));
    EXPECT_FALSE(os_ipaddr_ip_is_any(&(addr = parsed("127.0.0.1", 0))));
    EXPECT_FALSE(os_ipaddr_ip_is_any(&(addr = parsed("::1", 0))));
    os_ipaddr_clear(&addr);
    os_ipaddr_unix_set(&addr, "", false);
    EXPECT_FALSE(os_ipaddr_ip_is_any(&addr));
}

TEST(OsIpaddrRecord, NullRecordIsAnAssertionNotACrash) {
    str_log_capture log;
    os_ipaddr_clear(nullptr);
    EXPECT_TRUE(os_ipaddr_is_empty(nullptr));
    EXPECT_FALSE(os_ipaddr_ip_cstr_set(nullptr, "1.2.3.4"));
    EXPECT_TRUE(str_contains(log.take(), "assert failed"));
}

TEST(OsIpaddrRecord, LocalPathTooLongIsRefused) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    const std::string path(OS_UNIXADDR_CSTR_MAXN, 'p');
    str_log_capture log;
    EXPECT_FALSE(os_ipaddr_unix_set(&addr, path.c_str(), false));
    EXPECT_TRUE(os_ipaddr_unix_set(&addr, path.substr(1).c_str(), false));
}

TEST(OsSockaddr, Ipv4RoundTripsWithPortInNetworkOrder) {
    os_ipaddr addr = parsed("127.0.0.1", 8080);
    sockaddr_storage ss{};
    ASSERT_EQ(os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), &addr), 16);
    const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in->sin_port), 8080);
    EXPECT_EQ(ntohl(in->sin_addr.s_addr), 0x7F000001u);
    os_ipaddr back;
    ASSERT_EQ(os_sockaddr_save(&back, reinterpret_cast<sockaddr *>(&ss), sizeof(sockaddr_in)), 16);
    EXPECT_EQ(addr_text(back), "127.0.0.1:8080");
}

TEST(OsSockaddr, RecordWithoutIpGivesWildcard) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV6);
    os_ipaddr_port_set(&addr, 99);
    sockaddr_storage ss{};
    std::memset(&ss, 0xAB, sizeof(ss));
    ASSERT_EQ(os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), &addr), 28);
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
    EXPECT_EQ(std::memcmp(&in6->sin6_addr, &in6addr_any, sizeof(in6addr_any)), 0);
    EXPECT_EQ(ntohs(in6->sin6_port), 99);
}

TEST(OsSockaddr, ScopeTravelsOnlyForLinkLocal) {
    sockaddr_storage ss{};
    os_ipaddr link = parsed("fe80::5%9", 1);
    ASSERT_EQ(os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), &link), 28);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_scope_id, 9u);
    os_ipaddr global = parsed("2001:db8::5%9", 1);
    ASSERT_EQ(os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), &global), 28);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_scope_id, 0u);

    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_scope_id = 3;
    in6.sin6_addr.s6_addr[0] = 0xFF;
    in6.sin6_addr.s6_addr[1] = 0x02;
    in6.sin6_addr.s6_addr[15] = 1;
    os_ipaddr back;
    ASSERT_EQ(os_sockaddr_save(&back, reinterpret_cast<sockaddr *>(&in6), sizeof(in6)), 28);
    EXPECT_EQ(ip_text(back), "ff02:0000:0000:0000:0000:0000:0000:0001%3");
}

TEST(OsSockaddr, LocalPathAndAbstractName) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_unix_set(&addr, "/tmp/a.sock", false);
    sockaddr_storage ss{};
    ASSERT_EQ(os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), &addr), 110);
    EXPECT_STREQ(reinterpret_cast<sockaddr_un *>(&ss)->sun_path, "/tmp/a.sock");

    os_ipaddr_unix_set(&addr, "hubd-abstract", true);
    const int len = os_sockaddr_load(reinterpret_cast<sockaddr *>(&ss), &addr);
    EXPECT_EQ(len, static_cast<int>(offsetof(sockaddr_un, sun_path) + 1 + 13));
    const auto *un = reinterpret_cast<sockaddr_un *>(&ss);
    EXPECT_EQ(un->sun_path[0], '\0');
    EXPECT_EQ(std::memcmp(un->sun_path + 1, "hubd-abstract", 13), 0);
    os_ipaddr back;
    ASSERT_EQ(os_sockaddr_save(&back, reinterpret_cast<sockaddr *>(&ss), len), 110);
    EXPECT_EQ(back.u.un.abstract, 1);
    EXPECT_STREQ(back.u.un.path, "hubd-abstract");
}

TEST(OsAddrinfo, LocalhostResolvesWithThePort) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_family_set(&addr, OS_IPADDR_FAMILY_IPV4);
    os_ipaddr_port_set(&addr, 4321);
    ASSERT_TRUE(os_addrinfo_addr("localhost", &addr));
    EXPECT_EQ(addr_text(addr), "127.0.0.1:4321");
}

TEST(OsAddrinfo, NumericIpv6NeedsNoResolver) {
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    ASSERT_TRUE(os_addrinfo_addr("::1", &addr));
    EXPECT_EQ(os_ipaddr_family(&addr), OS_IPADDR_FAMILY_IPV6);
    EXPECT_EQ(os_ipaddr_port(&addr), 0);
}

TEST(OsAddrinfo, NameWithOverlongLabelFails) {
    // A label over 63 characters cannot be asked for, so no query leaves the host.
    const std::string name = std::string(70, 'x') + ".invalid";
    os_ipaddr addr;
    os_ipaddr_clear(&addr);
    os_ipaddr_port_set(&addr, 80);
    EXPECT_FALSE(os_addrinfo_addr(name.c_str(), &addr));
    EXPECT_TRUE(os_ipaddr_is_empty(&addr));
}
