// Claiming and writing the pid file: a new file, stale or unusable contents
// taken over, a live owner or a held lock refused with the file unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "pid_file.h"
#include "test_support.h"

namespace {

// Claims and writes the pid file in a child; prints the child's pid.
pelorin_test::ChildResult claim_and_write(const std::string& path) {
    return pelorin_test::run_in_child([&] {
        PidFile pid_file(path.c_str());
        std::printf("claimed pid=%d\n", static_cast<int>(getpid()));
        std::fflush(stdout);
        pid_file.write();
        // Written and closed: the lock is free for the next daemon.
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::printf("unlocked=%d\n", flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0);
        close(fd);
    });
}

std::string expected_output(const pelorin_test::ChildResult& r) {
    const auto at = r.out.find("pid=");
    const auto end = r.out.find('\n', at);
    return r.out.substr(at + 4, end - at - 4) + "\n";
}

pid_t ended_process() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace

TEST(PidFile, NewFileGetsTheIdWithMode0644) {
    pelorin_test::ScratchDir dir;
    const std::string path = dir.file("p.pid");
    const mode_t old_mask = umask(022);
    const auto result = claim_and_write(path);
    umask(old_mask);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.out.find("claimed"), std::string::npos);
    EXPECT_NE(result.out.find("unlocked=1"), std::string::npos);
    EXPECT_EQ(pelorin_test::read_file(path), expected_output(result));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(PidFile, UnusableOrStaleContentsAreTakenOver) {
    const std::string stale = std::to_string(ended_process()) + "\n";
    for (const std::string& contents :
         {std::string(), std::string("garbage\n"), std::string("0\n"), std::string("-5\n"),
          stale, std::string("  ") + stale, std::string(200, '7'),
          // Cut to 32 bits this would name process 1, which is alive.
          std::string("4294967297\n"),
          // Only the first 63 bytes are read: a number is not its last digit.
          std::string(69, '0') + "1\n"}) {
        SCOPED_TRACE(contents);
        pelorin_test::ScratchDir dir;
        const std::string path = dir.file("p.pid");
        pelorin_test::write_file(path, contents + "trailing text that is no longer wanted");
        const auto result = claim_and_write(path);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(pelorin_test::read_file(path), expected_output(result));
    }
}

TEST(PidFile, LiveOwnerIsRefusedAndTheFileLeftAlone) {
    pelorin_test::ScratchDir dir;
    const std::string path = dir.file("p.pid");
    const std::string mine = std::to_string(getpid()) + "\n";
    pelorin_test::write_file(path, mine);
    const auto result = claim_and_write(path);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "pid file " + path + " is in use by process " + mine);
    EXPECT_EQ(pelorin_test::read_file(path), mine);
}

TEST(PidFile, HeldLockIsRefused) {
    pelorin_test::ScratchDir dir;
    const std::string path = dir.file("p.pid");
    pelorin_test::write_file(path, "");
    const int holder = open(path.c_str(), O_RDWR);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const auto result = claim_and_write(path);
    close(holder);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "pid file " + path + " is in use by another process\n");
    EXPECT_EQ(pelorin_test::read_file(path), "");
}

TEST(PidFile, UncreatableFileIsFatal) {
    pelorin_test::ScratchDir dir;
    const std::string path = dir.file("no/such/dir/p.pid");
    const auto result = claim_and_write(path);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err,
              "create/open of pid file " + path + " failed: No such file or directory\n");
}
