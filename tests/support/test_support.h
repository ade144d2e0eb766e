// Helpers every test program shares: scratch directories that remove
// themselves, running a function or a program in a child process and
// collecting what it wrote and how it ended.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pelorin_test {

// A fresh directory under /tmp, removed with its contents on destruction.
class ScratchDir {
   public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

struct ChildResult {
    int exit_status = -1;  // -1 when the child did not exit normally
    int signal = 0;        // terminating signal, 0 if none
    std::string out;
    std::string err;
};

// Runs body in a forked child with standard output and error captured. The
// child exits 0 when body returns.
ChildResult run_in_child(const std::function<void()>& body);

// Runs body in this process with standard output and error captured (an
// exit status of 0). For bodies that cannot end the process: no fatal
// error, no termination signal.
ChildResult run_captured(const std::function<void()>& body);

// Runs a program with argv (argv[0] is the path) and optional standard input,
// capturing its output. extra_env entries are "NAME=value".
ChildResult run_program(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extra_env = {},
                        const std::string& input = "");

// Whole seconds of the clock SQLite's unixepoch() reads. time() can lag it
// by up to a timer tick, so a test comparing ages with time() may be off by
// a second.
std::int64_t wall_seconds();

// Counts the occurrences of needle in text.
int count_of(const std::string& text, const std::string& needle);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

// Opens a plain connection (no library code) for arranging and checking.
sqlite3* raw_open(const std::string& path);
void raw_exec(sqlite3* db, const std::string& sql);
// All rows of a query, columns joined by "|", rows by "\n".
std::string raw_query(sqlite3* db, const std::string& sql);
std::string raw_query(const std::string& path, const std::string& sql);

// Writes a vendor database in the library's own schema with the given rows
// (table, prefix, org) under dir/ma_db.sqlite.
struct VendorRow {
    std::string table, prefix, org;
};
void make_vendor_db(const std::string& dir, const std::vector<VendorRow>& rows);

// Path of a built program of the project.
std::string built_program(const std::string& name);

}  // namespace pelorin_test
