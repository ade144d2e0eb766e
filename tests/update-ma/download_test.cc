// Downloads with the real libcurl from a real HTTP server on loopback.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <utility>
#include <vector>
#include <string>

#include "test_support.h"
#include "updater_test_support.h"

using pelorin_test::file_exists;
using pelorin_test::raw_query;
using pelorin_test::read_file;
using pelorin_test::ScratchDir;
using pelorin_test::write_file;
using updater_test::csv_line;
using updater_test::kHeader;
using updater_test::RegistryServer;
using updater_test::run_updater;
using updater_test::TestRegistry;

namespace {

constexpr const char* kTables[3] = {"ma_l", "ma_m", "ma_s"};

class Downloads : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(served_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(library_.c_str(), 0755), 0);
        // The real MA-L registry, large enough for several progress reports.
        write_file(served_ + "/oui.csv", read_file("/usr/share/ieee-data/oui.csv"));
        write_file(served_ + "/mam.csv", kHeader + csv_line("MA-M", "70B3D5F", "New M"));
        write_file(served_ + "/oui36.csv", kHeader + csv_line("MA-S", "70B3D5123", "New S"));
        server_ = std::make_unique<RegistryServer>(served_);
        ASSERT_TRUE(server_->running());
    }
    std::vector<TestRegistry> registries(const std::string& l, const std::string& m,
                                         const std::string& s) const {
        return {{"ma_l", server_->url(l)}, {"ma_m", server_->url(m)}, {"ma_s", server_->url(s)}};
    }
    pelorin_test::ChildResult run(const std::vector<TestRegistry>& list) {
        return run_updater({"-L", library_, "-U", "TestAgent/1.0"}, list);
    }
    std::string lib(const std::string& name) const { return library_ + "/" + name; }
    // Old copies from an earlier run, and the vendor database built from them.
    std::string arrange_old_files() {
        write_file(lib("ma_l.csv"), kHeader + csv_line("MA-L", "0050C2", "Old L"));
        write_file(lib("ma_m.csv"), kHeader + csv_line("MA-M", "70B3D5F", "Old M"));
        write_file(lib("ma_s.csv"), kHeader + csv_line("MA-S", "70B3D5123", "Old S"));
        EXPECT_EQ(run_updater({"-D", "-L", library_}, updater_test::offline_registries())
                      .exit_status,
                  0);
        return vendor_rows();
    }
    std::string vendor_rows() const {
        return raw_query(lib("ma_db.sqlite"),
                         "SELECT * FROM ma_l UNION ALL SELECT * FROM ma_m UNION ALL "
                         "SELECT * FROM ma_s UNION ALL SELECT * FROM ma_u ORDER BY 1");
    }

    ScratchDir scratch_;
    std::string served_ = scratch_.file("served");
    std::string library_ = scratch_.file("lib");
    std::unique_ptr<RegistryServer> server_;
};

struct DownloadOutput {
    std::string url, path;
    std::vector<std::pair<long, long>> progress;  // (received, total) in K
};

// Reads one download's output at pos: "Downloading URL to PATH\n", progress
// reports "\rNK of TK bytes", then "\ncomplete\n".
bool read_download(const std::string& out, std::size_t& pos, DownloadOutput& d) {
    const std::string lead = "Downloading ";
    if (out.compare(pos, lead.size(), lead) != 0) return false;
    const std::size_t eol = out.find('\n', pos);
    const std::size_t to = out.find(" to ", pos);
    if (eol == std::string::npos || to == std::string::npos || to > eol) return false;
    d.url = out.substr(pos + lead.size(), to - pos - lead.size());
    d.path = out.substr(to + 4, eol - to - 4);
    pos = eol + 1;
    while (pos < out.size() && out[pos] == '\r') {
        long now = -1, total = -1;
        int used = 0;
        if (std::sscanf(out.c_str() + pos, "\r%ldK of %ldK bytes%n", &now, &total, &used) != 2 ||
            used == 0) {
            return false;
        }
        d.progress.emplace_back(now, total);
        pos += static_cast<std::size_t>(used);
    }
    const std::string tail = "\ncomplete\n";
    if (out.compare(pos, tail.size(), tail) != 0) return false;
    pos += tail.size();
    return true;
}

TEST_F(Downloads, FetchesTheThreeFilesInOrderWithProgress) {
    auto list = registries("/files/oui.csv", "/files/mam.csv", "/files/oui36.csv");
    auto r = run(list);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // Each download: its line, progress, "\ncomplete"; then the import.
    std::size_t pos = 0;
    DownloadOutput d[3];
    const char* tables[3] = {"ma_l.csv", "ma_m.csv", "ma_s.csv"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(read_download(r.out, pos, d[i])) << i << ": " << r.out.substr(pos, 300);
        EXPECT_EQ(d[i].url, list[i].url);
        EXPECT_EQ(d[i].path, lib(tables[i]));
    }
    EXPECT_EQ(r.out.substr(pos),
              "Updating ma_l database\n\ncomplete\nUpdating ma_m database\n\ncomplete\n"
              "Updating ma_s database\n\ncomplete\n");

    // The large file's reports count up to all of it, of its known size.
    const long size = static_cast<long>(read_file(served_ + "/oui.csv").size() / 1024);
    ASSERT_GE(d[0].progress.size(), 2U);
    EXPECT_EQ(d[0].progress.back(), std::make_pair(size, size));
    long previous = 0;
    for (const auto& [now, total] : d[0].progress) {
        EXPECT_GE(now, previous);
        EXPECT_TRUE(total == size || total == 0) << total;
        previous = now;
    }

    EXPECT_EQ(server_->requests(),
              "/files/oui.csv TestAgent/1.0\n/files/mam.csv TestAgent/1.0\n"
              "/files/oui36.csv TestAgent/1.0\n");
    EXPECT_EQ(read_file(lib("ma_l.csv")), read_file(served_ + "/oui.csv"));
    EXPECT_EQ(read_file(lib("ma_s.csv")), read_file(served_ + "/oui36.csv"));
    for (const char* tmp : {"ma_l.tmp", "ma_m.tmp", "ma_s.tmp"}) EXPECT_FALSE(file_exists(lib(tmp)));
    EXPECT_EQ(raw_query(lib("ma_db.sqlite"), "SELECT org FROM ma_l WHERE prefix = '00:00:0c'"),
              "Cisco Systems, Inc");
}

TEST_F(Downloads, NotFoundFailsAndKeepsTheOldFile) {
    const std::string before = arrange_old_files();
    auto list = registries("/files/absent.csv", "/files/mam.csv", "/files/oui36.csv");
    auto r = run(list);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "download failed: HTTP response code said error\n");
    std::size_t pos = 0;
    DownloadOutput d;
    ASSERT_TRUE(read_download(r.out, pos, d)) << r.out;
    EXPECT_EQ(d.url, list[0].url);
    EXPECT_EQ(d.path, lib("ma_l.csv"));
    EXPECT_EQ(pos, r.out.size());
    EXPECT_EQ(read_file(lib("ma_l.csv")), kHeader + csv_line("MA-L", "0050C2", "Old L"));
    EXPECT_TRUE(file_exists(lib("ma_l.tmp")));
    EXPECT_EQ(vendor_rows(), before);
}

TEST_F(Downloads, RedirectIsFollowed) {
    auto r = run(registries("/redirect/oui36.csv", "/files/mam.csv", "/files/oui36.csv"));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(lib("ma_l.csv")), read_file(served_ + "/oui36.csv"));
    EXPECT_EQ(server_->requests().substr(0, 50),
              "/redirect/oui36.csv TestAgent/1.0\n/files/oui36.csv");
}

TEST_F(Downloads, UnknownLengthShowsATotalOfZero) {
    auto r = run(registries("/nolength/oui.csv", "/files/mam.csv", "/files/oui36.csv"));
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::size_t pos = 0;
    DownloadOutput d;
    ASSERT_TRUE(read_download(r.out, pos, d)) << r.out.substr(0, 300);
    ASSERT_FALSE(d.progress.empty());
    for (const auto& [now, total] : d.progress) EXPECT_EQ(total, 0);
    const long size = static_cast<long>(read_file(served_ + "/oui.csv").size() / 1024);
    EXPECT_EQ(d.progress.back().first, size);
    EXPECT_EQ(read_file(lib("ma_l.csv")), read_file(served_ + "/oui.csv"));
}

TEST_F(Downloads, FailureOnTheSecondFileLeavesTheFirstReplacedOnly) {
    const std::string before = arrange_old_files();
    const std::string old_s = read_file(lib("ma_s.csv"));
    auto r = run(registries("/files/mam.csv", "/files/absent.csv", "/files/oui36.csv"));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "download failed: HTTP response code said error\n");
    EXPECT_EQ(read_file(lib("ma_l.csv")), read_file(served_ + "/mam.csv"));
    EXPECT_TRUE(file_exists(lib("ma_m.tmp")));
    EXPECT_EQ(read_file(lib("ma_m.csv")), kHeader + csv_line("MA-M", "70B3D5F", "Old M"));
    EXPECT_EQ(read_file(lib("ma_s.csv")), old_s);
    EXPECT_FALSE(file_exists(lib("ma_s.tmp")));
    EXPECT_EQ(vendor_rows(), before);
    EXPECT_EQ(server_->requests(), "/files/mam.csv TestAgent/1.0\n/files/absent.csv TestAgent/1.0\n");
}

// A server that keeps the connection but sends too little must end the run
// like any failed download, at the low-speed limit (shortened here).
TEST_F(Downloads, StalledServerEndsTheRunAndKeepsTheOldFiles) {
    const std::string before = arrange_old_files();
    struct Case {
        const char* kind;
        int failing;  // index of the file that stalls
    };
    constexpr TransferLimits kShort{2, 1000, 2};
    for (const Case& c : {Case{"trickle", 0}, Case{"silent", 1}, Case{"stall", 2}}) {
        SCOPED_TRACE(c.kind);
        const std::string files[3] = {"oui.csv", "mam.csv", "oui36.csv"};
        std::string paths[3];
        for (int i = 0; i < 3; ++i) {
            paths[i] = std::string(i == c.failing ? "/" + std::string(c.kind) : "/files") + "/" +
                       files[i];
        }
        const std::string stalled = lib(std::string(kTables[c.failing]) + ".csv");
        const std::string old_file = read_file(stalled);
        const auto started = std::chrono::steady_clock::now();
        auto r = run_updater({"-L", library_}, registries(paths[0], paths[1], paths[2]), kShort);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, "download failed: Timeout was reached\n");
        EXPECT_EQ(read_file(stalled), old_file);
        EXPECT_EQ(vendor_rows(), before);
        EXPECT_LT(took, std::chrono::seconds(15));
    }
}

TEST_F(Downloads, UnreachableServerFailsCleanly) {
    // Port 9 on loopback: nothing listens, the connection is refused.
    const std::vector<TestRegistry> list{{"ma_l", "http://127.0.0.1:9/oui.csv"},
                                         {"ma_m", "http://127.0.0.1:9/mam.csv"},
                                         {"ma_s", "http://127.0.0.1:9/oui36.csv"}};
    auto r = run_updater({"-L", library_}, list);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "download failed: Couldn't connect to server\n");
    EXPECT_FALSE(file_exists(lib("ma_db.sqlite")));
}

}  // namespace
