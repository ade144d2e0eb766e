#include "updater_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "registry_list.h"
#include "update_run.h"

namespace updater_test {

const char* const kHeader = "Registry,Assignment,Organization Name,Organization Address\r\n";

std::vector<TestRegistry> offline_registries() {
    return {{"ma_l", "http://127.0.0.1:9/unused/oui.csv"},
            {"ma_m", "http://127.0.0.1:9/unused/mam.csv"},
            {"ma_s", "http://127.0.0.1:9/unused/oui36.csv"}};
}

pelorin_test::ChildResult run_updater(const std::vector<std::string>& args,
                                      const std::vector<TestRegistry>& registries,
                                      const TransferLimits& limits) {
    return pelorin_test::run_in_child([&] {
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                 "ALL_PROXY", "HTTP_PROXY"}) {
            unsetenv(name);
        }
        std::vector<Registry> list;
        for (const auto& r : registries) list.push_back({r.table.c_str(), r.url.c_str()});
        std::vector<std::string> storage{"pelorin-update-ma"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : storage) argv.push_back(s.data());
        argv.push_back(nullptr);
        std::exit(update_run(static_cast<int>(storage.size()), argv.data(), list, limits));
    });
}

RegistryServer::RegistryServer(const std::string& root) : log_(root + "/../requests.log") {
    // The log sits beside the served directory so it is never served itself.
    int out[2];
    if (pipe(out) != 0) std::abort();
    const std::string script = PELORIN_SOURCE_DIR "/tests/update-ma/registry_server.py";
    pid_ = fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execlp("python3", "python3", script.c_str(), root.c_str(), log_.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char line[32] = {};
    std::size_t n = 0;
    while (n + 1 < sizeof line) {
        const ssize_t got = read(out[0], line + n, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || line[n] == '\n') break;
        ++n;
    }
    close(out[0]);
    port_ = std::atoi(line);
    if (port_ <= 0) ADD_FAILURE() << "registry server did not start";
}

RegistryServer::~RegistryServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string RegistryServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string RegistryServer::requests() const { return pelorin_test::read_file(log_); }

std::string csv_line(const std::string& registry, const std::string& assignment,
                     const std::string& organisation) {
    return registry + "," + assignment + "," + organisation + ",1 Main Street Springfield US\r\n";
}

}  // namespace updater_test
