#include "library_dir.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

using pelorin_test::run_in_child;

namespace {

TEST(LibraryDirTest, PathCheckBoundariesForInterfaceAndVendorDatabases) {
    struct Case {
        std::string directory, base_name;
        std::size_t slack;
        bool fits;
    };
    const Case cases[] = {
        // Directory and interface name together may be 1013 bytes, not 1014.
        {std::string(1000, 'd'), std::string(13, 'i'), kInterfacePathSlack, true},
        {std::string(1000, 'd'), std::string(14, 'i'), kInterfacePathSlack, false},
        // The vendor path allows a directory of 1007 bytes, not 1008.
        {std::string(1007, 'v'), kVendorBaseName, kVendorPathSlack, true},
        {std::string(1008, 'v'), kVendorBaseName, kVendorPathSlack, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directory.size() + c.base_name.size());
        const auto r = run_in_child(
            [&] { LibraryDir(c.directory.c_str()).check(c.base_name.c_str(), c.slack); });
        EXPECT_EQ(r.exit_status, c.fits ? 0 : 1);
        EXPECT_EQ(r.err, c.fits ? ""
                                : "db_filename (" + c.directory + "/" + c.base_name +
                                      ".sqlite) exceeds maximum length of 1024\n");
    }
}

}  // namespace
