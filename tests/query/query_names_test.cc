// Host names in the record report, end to end. The query tool runs inside a
// network namespace of its own whose hosts file holds the test names and
// whose resolver is 127.0.0.1, so every lookup is answered on the machine:
// names, "(unknown)", "(none)" and "(link-local)" all appear.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "ipmap_rows.h"
#include "netns_fixture.h"
#include "test_support.h"

namespace pelorin_test {
namespace {

TEST(QueryNamesTest, ReportShowsNamesAndPlaceholders) {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    pelorin_e2e::NamespaceOptions options;
    options.veth_pair = false;
    options.loopback_up = true;
    options.hosts_lines =
        "192.0.2.10 alpha.example.test alpha\n"
        "169.253.0.1 edge.example.test\n"
        "192.168.169.254 inner.example.test\n"
        "169.254.1.2 never.example.test\n"
        "2001:db8::10 beta.example.test\n"
        "fec0::1 sitelocal.example.test\n"
        "fe00::1 fezero.example.test\n"
        "fe80::1 neverv6.example.test\n";
    const pelorin_e2e::TestNamespace ns(options);
    ASSERT_TRUE(ns.ok()) << ns.error();

    ScratchDir scratch;
    make_vendor_db(scratch.path(), {{"ma_u", "2", "(private)"}});
    const std::int64_t t = days_ago(1);
    const char* hw = "02:00:00:00:00:01";
    make_interface_db(scratch.path(), "eth0",
                      {{4, "192.0.2.10", hw, 1700000000, 0, t},
                       {4, "169.253.0.1", hw, 1700000001, 0, t},
                       {4, "192.168.169.254", hw, 1700000002, 0, t},
                       {4, "169.254.1.2", hw, 1700000003, 0, t},
                       {6, "2001:db8::10", hw, 1700000004, 0, t},
                       {6, "fec0::1", hw, 1700000005, 0, t},
                       {6, "fe00::1", hw, 1700000006, 0, t},
                       {6, "fe80::1", hw, 1700000007, 0, t},
                       {4, "192.0.2.99", hw, 1700000008, 0, t},
                       {6, "2001:db8::99", hw, 1700000009, 0, t},
                       {4, "2001:db8::77", hw, 1700000010, 0, t},
                       {5, "192.0.2.77", hw, 1700000011, 0, t}});

    const ChildResult r =
        ns.run({built_program("pelorin-query"), "-L", scratch.path(), "eth0"}, {"TZ=UTC"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "2023-11-14 22:13:20 1 alpha.example.test 192.0.2.10 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:21 1 edge.example.test 169.253.0.1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:22 1 inner.example.test 192.168.169.254 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:23 1 (link-local) 169.254.1.2 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:24 1 beta.example.test 2001:db8::10 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:25 1 sitelocal.example.test fec0::1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:26 1 fezero.example.test fe00::1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:27 1 (link-local) fe80::1 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:28 1 (unknown) 192.0.2.99 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:29 1 (unknown) 2001:db8::99 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:30 1 (none) 2001:db8::77 02:00:00:00:00:01 (private)\n"
              "2023-11-14 22:13:31 1 (none) 192.0.2.77 02:00:00:00:00:01 (private)\n");
}

}  // namespace
}  // namespace pelorin_test
