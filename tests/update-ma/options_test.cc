// The command line of the built program: usage text, option parsing and
// the path check. No run here reaches the network: each one either stops
// at the usage text or the path check, or skips the downloads with -D.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

using pelorin_test::built_program;
using pelorin_test::run_program;
using pelorin_test::ScratchDir;

namespace {

std::string program() { return built_program("pelorin-update-ma"); }

std::string usage_text(const std::string& path, const std::string& agent,
                       const std::string& directory) {
    return "Usage:\n"
           "  " + path + " [-h] [-D] [-L dir]\n"
           "  options:\n"
           "    -h display usage\n"
           "    -s log errors via syslog\n"
           "    -D skip download of the mac address csv files\n"
           "    -L directory for library files (default: /var/db/pelorin)\n"
           "    -U user agent for http (default: " + agent + ")\n"
           "  \nNotes:\n"
           "    This program automatically downloads the MAC address assignment files\n"
           "    from IEEE using curl and saves them in the library directory. If you\n"
           "    prefer to download the files manually, place the files in the library\n"
           "    directory as shown below, then use the -D option to skip the download.\n\n"
           "    https://standards-oui.ieee.org/oui/oui.csv      -> " + directory + "/ma_l.csv\n"
           "    https://standards-oui.ieee.org/oui28/mam.csv    -> " + directory + "/ma_m.csv\n"
           "    https://standards-oui.ieee.org/oui36/oui36.csv  -> " + directory + "/ma_s.csv\n";
}

TEST(UpdaterOptions, HelpPrintsTheUsageTextAndExitsOne) {
    auto r = run_program({program(), "-h"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage_text(program(), "Pelorin/2.4.0", "/var/db/pelorin"));
}

TEST(UpdaterOptions, UsageShowsTheValuesGivenBeforeTheOffendingOption) {
    // -L changes the table paths but not the default on the -L line; the
    // later -U comes after -h and is never seen.
    auto r = run_program({program(), "-U", "Agent/9", "-L", "/srv/lib", "-h", "-U", "Later"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, usage_text(program(), "Agent/9", "/srv/lib"));

    auto unknown = run_program({program(), "-L", "rel", "-x"});
    EXPECT_EQ(unknown.exit_status, 1);
    EXPECT_EQ(unknown.err, program() + ": invalid option -- 'x'\n" +
                               usage_text(program(), "Pelorin/2.4.0", "rel"));

    auto missing = run_program({program(), "-D", "-U"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, program() + ": option requires an argument -- 'U'\n" +
                               usage_text(program(), "Pelorin/2.4.0", "/var/db/pelorin"));
}

TEST(UpdaterOptions, OptionsStopAtTheFirstOperand) {
    ScratchDir dir;
    for (const char* table : {"ma_l", "ma_m", "ma_s"}) pelorin_test::write_file(dir.file(std::string(table) + ".csv"), "");
    // "-h" after the operand is an operand too, so the run goes ahead.
    auto r = run_program({program(), "-D", "-L", dir.path(), "extra", "-h"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(pelorin_test::file_exists(dir.file("ma_db.sqlite")));
}

TEST(UpdaterOptions, LibraryDirectoryLengthIsCheckedBeforeAnythingElse) {
    const std::string d1008(1008, 'd');
    const std::string message =
        "db_filename (" + d1008 + "/ma_db.sqlite) exceeds maximum length of 1024\n";
    for (const bool skip_download : {true, false}) {
        std::vector<std::string> argv{program(), "-L", d1008};
        if (skip_download) argv.push_back("-D");
        auto r = run_program(argv);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");  // nothing downloaded
    }

    // 1007 bytes pass the check; the run then fails on the missing directory.
    const std::string d1007 = "/nonexistent-" + std::string(994, 'd');
    ASSERT_EQ(d1007.size(), 1007U);
    auto fits = run_program({program(), "-D", "-L", d1007});
    EXPECT_EQ(fits.exit_status, 1);
    EXPECT_EQ(fits.err.find("db_filename"), std::string::npos);
    EXPECT_EQ(fits.err.rfind("sqlite3 open of " + d1007 + "/ma_db.sqlite failed: ", 0), 0U)
        << fits.err;
}

TEST(UpdaterOptions, SyslogSwitchMovesOnlyTheDiagnostics) {
    ScratchDir dir;
    pelorin_test::write_file(dir.file("ma_l.csv"), "");
    auto r = run_program({program(), "-s", "-D", "-L", dir.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "");  // the missing ma_m.csv went to the system log
    EXPECT_EQ(r.out, "Updating ma_l database\n\ncomplete\n");

    auto help = run_program({program(), "-s", "-h"});
    EXPECT_EQ(help.err, usage_text(program(), "Pelorin/2.4.0", "/var/db/pelorin"));
}

}  // namespace
