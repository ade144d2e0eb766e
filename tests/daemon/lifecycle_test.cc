// The daemon's ways of ending and its privilege drop: a termination signal
// is acted on by the main path (pid file removed only once claimed, warning,
// status 0), also before the capture loop and in the middle of a frame; a
// failed privilege drop is fatal; the capture loop with a narrowing filter
// (a filter that does not compile is the end-to-end tests', which also see
// that it is reported after detaching).
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <string>

#include "capture.h"
#include "daemon_test_util.h"
#include "frame_decode.h"
#include "lifecycle.h"
#include "pid_file.h"

using namespace daemon_test;

namespace {

// Writes the frames to a classic capture file.
void write_capture(const std::string& path, const std::vector<Captured>& frames) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (const Captured& c : frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = c.sec;
        header.ts.tv_usec = c.usec;
        header.caplen = header.len = static_cast<bpf_u_int32>(c.bytes.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, c.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

Captured arp_at(const Mac& mac, std::uint8_t last, std::int64_t sec) {
    ArpFields f;
    f.source = f.sender_mac = mac;
    f.sender_ip = {169, 254, 5, last};
    return {arp_frame(f), sec};
}

// Makes one system call fail with EPERM from here on (this process only).
void deny_syscall(long number) {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0) {
        std::perror("seccomp");
        std::abort();
    }
}

}  // namespace

TEST(Lifecycle, SignalBeforeTheClaimLeavesTheRunningDaemonsPidFile) {
    pelorin_test::ScratchDir dir;
    const std::string path = dir.file("p.pid");
    pelorin_test::write_file(path, "12345\n");
    const auto result = pelorin_test::run_in_child([&] {
        const PidFile not_claimed;
        install_signal_handlers(nullptr);
        raise(SIGTERM);  // recorded only: execution goes on here
        std::printf("still running\n");
        exit_if_signalled(not_claimed);
        std::printf("not reached\n");
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "still running\n");
    EXPECT_EQ(result.err, "exiting on signal 15\n");
    EXPECT_EQ(pelorin_test::read_file(path), "12345\n");
}

TEST(Lifecycle, SignalAfterTheClaimRemovesThePidFile) {
    pelorin_test::ScratchDir dir;
    const std::string path = dir.file("p.pid");
    const auto result = pelorin_test::run_in_child([&] {
        install_signal_handlers(nullptr);
        PidFile pid_file(path.c_str());
        raise(SIGINT);
        pid_file.write();
        exit_if_signalled(pid_file);
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "exiting on signal 2\n");
    EXPECT_FALSE(pelorin_test::file_exists(path));
}

TEST(Lifecycle, SignalDuringAFrameLetsItFinishThenStopsTheLoop) {
    Library lib;
    const std::string capture = lib.dir() + "/frames.pcap";
    write_capture(capture, {arp_at(kMacA, 1, 1'800'000'000), arp_at(kMacA, 2, 1'800'000'001),
                            arp_at(kMacA, 3, 1'800'000'002)});
    const std::string path = lib.dir() + "/p.pid";
    const auto result = as_daemon_in_child(lib, [&](sqlite3* db) {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* handle = pcap_open_offline(capture.c_str(), errbuf);
        if (handle == nullptr) std::abort();
        install_signal_handlers(handle);
        PidFile pid_file(path.c_str());
        pid_file.write();
        exit_if_signalled(pid_file);
        install_filter(handle, nullptr, false);
        // The signal lands while the first frame is being handled.
        run_capture(handle, sensor(), notifier(), nullptr,
                    [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
                        raise(SIGTERM);
                        Sensor::on_frame(user, h, bytes);
                    });
        exit_if_signalled(pid_file);
        std::printf("loop ended without the signal\n");
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "IP address 169.254.5.1 changed from (none) to 00:11:22:33:44:55\n"
              "exiting on signal 15\n");
    EXPECT_EQ(lib.rows(), "4|169.254.5.1|00:11:22:33:44:55|1800000000|0|1800000000");
    EXPECT_EQ(pelorin_test::raw_query(lib.db_path(), "PRAGMA integrity_check"), "ok");
    EXPECT_FALSE(pelorin_test::file_exists(path));
}

TEST(Lifecycle, SignalJustBeforeTheLoopStartsStopsItBeforeAnyFrame) {
    Library lib;
    const std::string capture = lib.dir() + "/frames.pcap";
    write_capture(capture, {arp_at(kMacA, 1, 1'800'000'000)});
    const auto result = as_daemon_in_child(lib, [&](sqlite3* db) {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* handle = pcap_open_offline(capture.c_str(), errbuf);
        if (handle == nullptr) std::abort();
        const PidFile none;
        install_signal_handlers(handle);
        exit_if_signalled(none);
        raise(SIGTERM);  // after the last check, before the loop
        run_capture(handle, sensor(), notifier());
        exit_if_signalled(none);
    });
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "exiting on signal 15\n");
    EXPECT_EQ(lib.rows(), "");
}

TEST(Lifecycle, CaptureLoopAppliesTheFixedAndTheUserFilter) {
    Library lib;
    const std::string capture = lib.dir() + "/frames.pcap";
    ArpFields ipv4;
    ipv4.ether_type = 0x0800;
    ArpFields probe;
    probe.sender_ip = {};
    write_capture(capture, {{arp_frame(ipv4)}, {arp_frame(probe)}, arp_at(kMacA, 1, 1'800'000'000),
                            arp_at(kMacB, 2, 1'800'000'001)});
    for (const char* filter : {static_cast<const char*>(nullptr), "ether src 00:aa:bb:cc:dd:ee"}) {
        SCOPED_TRACE(filter ? filter : "none");
        const auto result = as_daemon(lib, [&](sqlite3* db) {
            pelorin_test::raw_exec(db, "DELETE FROM ipmap");
            char errbuf[PCAP_ERRBUF_SIZE];
            pcap_t* handle = pcap_open_offline(capture.c_str(), errbuf);
            if (handle == nullptr) std::abort();
            install_filter(handle, filter, false);
            run_capture(handle, sensor(), notifier());
            pcap_close(handle);
        });
        EXPECT_EQ(result.exit_status, 0);
        // Neither the IPv4 frame nor the probe reaches the handler.
        if (filter == nullptr) {
            EXPECT_EQ(result.err,
                      "IP address 169.254.5.1 changed from (none) to 00:11:22:33:44:55\n"
                      "IP address 169.254.5.2 changed from (none) to 00:aa:bb:cc:dd:ee\n");
        } else {
            EXPECT_EQ(result.err,
                      "IP address 169.254.5.2 changed from (none) to 00:aa:bb:cc:dd:ee\n");
        }
    }
}

TEST(Lifecycle, FailedPrivilegeDropIsFatal) {
    for (const long call : {static_cast<long>(SYS_setgid), static_cast<long>(SYS_setuid)}) {
        const auto result = pelorin_test::run_in_child([call] {
            deny_syscall(call);
            drop_privileges();
            std::printf("went on\n");
        });
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string(call == SYS_setgid ? "setgid" : "setuid") +
                                  " failed: Operation not permitted\n");
    }
    const auto ok = pelorin_test::run_in_child([] {
        drop_privileges();
        std::printf("went on\n");
    });
    EXPECT_EQ(ok.exit_status, 0);
    EXPECT_EQ(ok.out, "went on\n");
}
