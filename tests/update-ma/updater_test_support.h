// What the updater's tests share: running one updater run in a child
// process with a registry list of the test's choosing, and a registry
// server on loopback that the test starts and stops.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "download.h"
#include "test_support.h"

namespace updater_test {

struct TestRegistry {
    std::string table;
    std::string url;
};

// The built-in list's tables with URLs that are never fetched (-D runs).
std::vector<TestRegistry> offline_registries();

// Runs update_run in a child with argv {"pelorin-update-ma", args...}, the
// given registries and transfer limits. Proxy variables are cleared in the
// child so that a loopback URL is fetched directly.
pelorin_test::ChildResult run_updater(const std::vector<std::string>& args,
                                      const std::vector<TestRegistry>& registries,
                                      const TransferLimits& limits = kTransferLimits);

// registry_server.py serving files from root on 127.0.0.1 and an ephemeral
// port; stopped by the destructor.
class RegistryServer {
   public:
    explicit RegistryServer(const std::string& root);
    ~RegistryServer();
    RegistryServer(const RegistryServer&) = delete;
    RegistryServer& operator=(const RegistryServer&) = delete;

    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path) const;
    // The requests so far, one "PATH USER-AGENT" line each.
    std::string requests() const;
    bool running() const { return port_ > 0; }

   private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_;
};

// One registry line: first field, assignment, organisation field as given
// (quotes included), and an address field.
std::string csv_line(const std::string& registry, const std::string& assignment,
                     const std::string& organisation);

extern const char* const kHeader;

}  // namespace updater_test
