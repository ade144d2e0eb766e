#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "vendor_db.h"

namespace pelorin_test {

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/pelorin-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = made;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

// Reads both pipes until both are closed, so neither child stream can block.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char buf[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

ChildResult finish(pid_t pid, int out_fd, int err_fd) {
    ChildResult result;
    drain(out_fd, err_fd, result.out, result.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace

ChildResult run_in_child(const std::function<void()>& body) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return finish(pid, out_pipe[0], err_pipe[0]);
}

ChildResult run_captured(const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved[2] = {dup(1), dup(2)};
    std::FILE* files[2] = {std::tmpfile(), std::tmpfile()};
    if (saved[0] < 0 || saved[1] < 0 || files[0] == nullptr || files[1] == nullptr) std::abort();
    dup2(fileno(files[0]), 1);
    dup2(fileno(files[1]), 2);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    ChildResult result;
    result.exit_status = 0;
    std::string* texts[2] = {&result.out, &result.err};
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], i + 1);
        close(saved[i]);
        std::rewind(files[i]);
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, files[i])) > 0) texts[i]->append(buffer, n);
        std::fclose(files[i]);
    }
    return result;
}

ChildResult run_program(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extra_env, const std::string& input) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0) std::abort();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        for (const auto& e : extra_env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::fprintf(stderr, "execv %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Small inputs only: written before reading so the pipe buffer suffices.
    if (!input.empty()) {
        ssize_t ignored = write(in_pipe[1], input.data(), input.size());
        (void)ignored;
    }
    close(in_pipe[1]);
    return finish(pid, out_pipe[0], err_pipe[0]);
}

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

std::int64_t wall_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

sqlite3* raw_open(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        ADD_FAILURE() << "open " << path << ": " << sqlite3_errmsg(db);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

void raw_exec(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        ADD_FAILURE() << "exec " << sql << ": " << (error ? error : "?");
    }
    sqlite3_free(error);
}

std::string raw_query(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "prepare " << sql << ": " << sqlite3_errmsg(db);
        return {};
    }
    std::string result;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        if (!result.empty()) result += "\n";
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            if (i > 0) result += "|";
            const unsigned char* t = sqlite3_column_text(stmt, i);
            result += t ? reinterpret_cast<const char*>(t) : "NULL";
        }
    }
    sqlite3_finalize(stmt);
    return result;
}

std::string raw_query(const std::string& path, const std::string& sql) {
    sqlite3* db = raw_open(path);
    std::string result = raw_query(db, sql);
    sqlite3_close(db);
    return result;
}

void make_vendor_db(const std::string& dir, const std::vector<VendorRow>& rows) {
    sqlite3* db = raw_open(dir + "/ma_db.sqlite");
    raw_exec(db, kVendorSchema);
    raw_exec(db, "BEGIN");
    for (const auto& row : rows) {
        sqlite3_stmt* stmt = nullptr;
        const std::string sql = "INSERT INTO " + row.table + " VALUES (?, ?)";
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, row.prefix.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, row.org.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) != SQLITE_DONE) ADD_FAILURE() << "insert " << row.prefix;
        sqlite3_finalize(stmt);
    }
    raw_exec(db, "COMMIT");
    sqlite3_close(db);
}

std::string built_program(const std::string& name) {
    return std::string(PELORIN_BINARY_DIR) + "/bin/" + name;
}

}  // namespace pelorin_test
