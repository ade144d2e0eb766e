// What the fault tests share: a network namespace with the veth pair, a
// library directory readable by an unprivileged reader, and daemons started
// in the namespace, each torn down by the destructors also when a test fails.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame_builder.h"
#include "netns_fixture.h"
#include "test_support.h"

namespace pelorin_faults {

inline bool exited_with(const std::optional<int>& status, int code) {
    return status.has_value() && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

class FaultTest : public ::testing::Test {
   protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for namespaces and other identities";
        pelorin_e2e::become_subreaper();
        ns_ = std::make_unique<pelorin_e2e::TestNamespace>();
        ASSERT_TRUE(ns_->ok()) << ns_->error();
        // Readable by an unprivileged reader, as /var/db/pelorin is.
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    }

    // pelorin (behind wrapper, a command and its options, when given) with
    // the library directory set and the interface as the operand.
    pelorin_e2e::NamespacedProcess& start(std::vector<std::string> options,
                                          const std::string& interface =
                                              pelorin_e2e::kCaptureInterface,
                                          std::vector<std::string> wrapper = {}) {
        options.insert(options.begin(), {"-L", dir_.path()});
        options.push_back(interface);
        wrapper.push_back(pelorin_test::built_program("pelorin"));
        options.insert(options.begin(), wrapper.begin() + 1, wrapper.end());
        processes_.push_back(std::make_unique<pelorin_e2e::NamespacedProcess>(
            *ns_, wrapper.front(), options, output_.path()));
        return *processes_.back();
    }

    // Sends first sightings from the block mac_prefix ("xx:xx:xx") until the
    // daemon announces one more than before.
    bool announces_new_binding(const pelorin_e2e::NamespacedProcess& daemon,
                               const std::string& mac_prefix = "02:00:00") {
        const auto announced = [&] {
            const std::string err = daemon.err();
            std::size_t count = 0;
            for (std::size_t at = 0; (at = err.find("changed from (none)", at)) != std::string::npos;
                 ++at) {
                ++count;
            }
            return count;
        };
        const std::size_t before = announced();
        return pelorin_e2e::wait_until([&] {
            const int n = ++serial_;
            char mac[18];
            std::snprintf(mac, sizeof mac, "%s:00:%02x:%02x", mac_prefix.c_str(), n / 256, n % 256);
            const std::string ip = "169.254." + std::to_string(n / 250 % 250 + 1) + "." +
                                   std::to_string(n % 250 + 1);
            ns_->inject(pelorin_frames::arp_request(pelorin_frames::mac(mac),
                                                    pelorin_frames::ipv4(ip),
                                                    pelorin_frames::ipv4("169.254.255.254")));
            return announced() > before;
        });
    }

    std::string database() const {
        return dir_.file(std::string(pelorin_e2e::kCaptureInterface) + ".sqlite");
    }

    pelorin_test::ScratchDir dir_;
    pelorin_test::ScratchDir output_;
    std::unique_ptr<pelorin_e2e::TestNamespace> ns_;
    // After the namespace, so the processes are gone before it is.
    std::vector<std::unique_ptr<pelorin_e2e::NamespacedProcess>> processes_;
    int serial_ = 0;
};

}  // namespace pelorin_faults
