// Times the rebuild transaction of the vendor database from the ieee-data
// registries three ways on the same schema and the same rows:
//   BM_Import        the updater's import (read, parse, one bound INSERT each)
//   BM_InsertFloor   the same rows, parsed beforehand, through the same bound
//                    INSERTs in one transaction: what the import cannot go below
//   BM_ShellImport   the sqlite3 shell's .import of the same rows
// and prints the ratio of the medians of the first two.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "names.h"
#include "registry_import.h"
#include "registry_parse.h"
#include "vendor_db.h"

namespace {

constexpr const char* kTables[] = {"ma_l", "ma_m", "ma_s"};
constexpr const char* kSources[] = {"/usr/share/ieee-data/oui.csv", "/usr/share/ieee-data/mam.csv",
                                    "/usr/share/ieee-data/oui36.csv"};

struct Row {
    const char* table;
    std::string prefix, organisation;
};

struct Fixture {
    std::string dir;
    std::string db;
    LibraryDir library;
    std::vector<Row> rows;  // every accepted row, in file order
    std::string shell_script;
};

std::string csv_quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"') out += '"';
        out += *p;
    }
    return out + "\"";
}

Fixture& fixture() {
    static Fixture* f = [] {
        auto* made = new Fixture;
        char tmpl[] = "/tmp/pelorin-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        made->dir = tmpl;
        made->db = made->dir + "/ma_db.sqlite";
        made->library = LibraryDir(made->dir.c_str());
        made->shell_script = "BEGIN;\nDROP TABLE IF EXISTS ma_l;DROP TABLE IF EXISTS ma_m;"
                             "DROP TABLE IF EXISTS ma_s;DROP TABLE IF EXISTS ma_u;\n";
        made->shell_script += std::string(kVendorSchema) + "\n";
        for (int i = 0; i < 3; ++i) {
            std::ifstream in(kSources[i], std::ios::binary);
            const std::string data((std::istreambuf_iterator<char>(in)), {});
            std::ofstream(made->dir + "/" + kTables[i] + ".csv", std::ios::binary) << data;
            // The rows the import will insert, found here once, untimed; the
            // same 1023-byte pieces the import reads.
            const std::string rows_path = made->dir + "/" + kTables[i] + ".rows";
            std::ofstream rows(rows_path, std::ios::binary);
            std::size_t start = 0;
            while (start < data.size()) {
                std::size_t end = data.find('\n', start);
                end = end == std::string::npos ? data.size() : end + 1;
                if (end - start > 1023) end = start + 1023;
                RegistryRow row;
                const std::string_view line(data.data() + start, end - start);
                if (parse_registry_line(line, row) == RegistryLine::accepted) {
                    made->rows.push_back({kTables[i], row.prefix, row.organisation});
                    rows << row.prefix << ',' << csv_quoted(row.organisation) << '\n';
                }
                start = end;
            }
            made->shell_script += ".import --csv " + rows_path + " " + kTables[i] + "\n";
        }
        for (const char* digit : {"2", "6", "a", "e"}) {
            made->rows.push_back({"ma_u", digit, kPlaceholderPrivate});
            made->shell_script += std::string("INSERT INTO ma_u VALUES ('") + digit +
                                  "', '(private)');\n";
        }
        made->shell_script += "COMMIT;\n";
        std::ofstream(made->dir + "/import.sql") << made->shell_script;
        return made;
    }();
    return *f;
}

// Each run starts from an existing vendor database holding the previous
// content, as a periodic update does.
VendorDb open_fresh() { return VendorDb::open_write(fixture().db.c_str()); }

void BM_Import(benchmark::State& state) {
    Fixture& f = fixture();
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<VendorDb> db = open_fresh();
        state.ResumeTiming();
        db->begin();
        db->reset_tables();
        for (const char* table : kTables) import_registry(*db, f.library, table);
        for (const char* digit : {"2", "6", "a", "e"}) {
            db->insert("ma_u", digit, kPlaceholderPrivate);
        }
        db->commit();
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    state.counters["rows"] = static_cast<double>(f.rows.size());
}

void BM_InsertFloor(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<VendorDb> db = open_fresh();
        state.ResumeTiming();
        db->begin();
        db->reset_tables();
        for (const Row& row : f.rows) {
            db->insert(row.table, row.prefix.c_str(), row.organisation.c_str());
        }
        db->commit();
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
    state.counters["rows"] = static_cast<double>(f.rows.size());
}

void BM_ShellImport(benchmark::State& state) {
    Fixture& f = fixture();
    const std::string command = "sqlite3 " + f.db + " < " + f.dir + "/import.sql";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("sqlite3 shell import failed");
            break;
        }
    }
}

// Each run ends in a commit that waits for the disk, so the wall times
// swing with whatever else the machine writes; many short repetitions,
// interleaved (see main), let the medians of both see the same conditions.
BENCHMARK(BM_Import)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true)->Iterations(2);
BENCHMARK(BM_InsertFloor)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true)->Iterations(2);
BENCHMARK(BM_ShellImport)->Unit(benchmark::kMillisecond)->Repetitions(15)->ReportAggregatesOnly(true)->Iterations(2);

// Keeps the medians so the ratio can be printed after the run.
class MedianReporter : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
                cpu_medians[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
    std::map<std::string, double> cpu_medians;
};

}  // namespace

int main(int argc, char** argv) {
    // Interleaved unless the command line says otherwise.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto& m = reporter.medians;
    const auto& c = reporter.cpu_medians;
    if (m.count("BM_Import") != 0 && m.count("BM_InsertFloor") != 0) {
        std::printf("median import %.1f ms, floor %.1f ms, ratio %.3f (target <= 1.25)\n",
                    m.at("BM_Import"), m.at("BM_InsertFloor"),
                    m.at("BM_Import") / m.at("BM_InsertFloor"));
        std::printf("median CPU time import %.1f ms, floor %.1f ms, ratio %.3f\n",
                    c.at("BM_Import"), c.at("BM_InsertFloor"),
                    c.at("BM_Import") / c.at("BM_InsertFloor"));
    }
    if (m.count("BM_ShellImport") != 0) {
        std::printf("median sqlite3 shell .import %.1f ms\n", m.at("BM_ShellImport"));
    }
    std::string cleanup = "rm -rf " + fixture().dir;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
