// The program with its built-in URLs, run where nothing can be reached: an
// empty network namespace (loopback down) whose resolver points at
// 127.0.0.1. The download must fail with a clean diagnostic.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "netns_fixture.h"
#include "test_support.h"

using pelorin_test::run_program;
using pelorin_test::ScratchDir;

namespace {

TEST(UpdaterIsolated, BuiltInDownloadFailsCleanlyWithoutANetwork) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    pelorin_e2e::NamespaceOptions empty;
    empty.veth_pair = false;
    const pelorin_e2e::TestNamespace ns(empty);
    ASSERT_TRUE(ns.ok()) << ns.error();
    ScratchDir dir;
    const std::string program = pelorin_test::built_program("pelorin-update-ma");
    // A clean environment: no proxy may carry the request out of the namespace.
    auto r = run_program({"/usr/bin/env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "ip",
                          "netns", "exec", ns.name(), program, "-L", dir.path()});
    EXPECT_EQ(r.exit_status, 1);
    // How often libcurl reports progress before it gives up is its own affair.
    const std::string head = "Downloading https://standards-oui.ieee.org/oui/oui.csv to " +
                             dir.file("ma_l.csv") + "\n";
    const std::string tail = "\ncomplete\n";
    ASSERT_TRUE(r.out.starts_with(head) && r.out.ends_with(tail)) << r.out;
    std::string progress = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
    for (std::size_t at; (at = progress.find("\r0K of 0K bytes")) != std::string::npos;) {
        progress.erase(at, 15);
    }
    EXPECT_EQ(progress, "") << r.out;
    EXPECT_EQ(r.err.rfind("download failed: ", 0), 0U) << r.err;
    EXPECT_TRUE(r.err == "download failed: Couldn't resolve host name\n" ||
                r.err == "download failed: Couldn't connect to server\n")
        << r.err;
    EXPECT_TRUE(pelorin_test::file_exists(dir.file("ma_l.tmp")));
    EXPECT_FALSE(pelorin_test::file_exists(dir.file("ma_l.csv")));
    EXPECT_FALSE(pelorin_test::file_exists(dir.file("ma_db.sqlite")));
}

}  // namespace
