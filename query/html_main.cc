// pelorin-html: writes the recorded bindings of every interface database as
// static HTML pages (an index and pages per interface) that any web server,
// or a browser opening the files, can show; nothing is served by the suite.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "diag.h"
#include "html_page.h"
#include "html_text.h"
#include "interface_db.h"
#include "library_tool_options.h"
#include "output_directory.h"

namespace {

constexpr std::string_view kDatabaseSuffix = ".sqlite";

// The interface databases of the library directory, by name: every regular
// file "NAME.sqlite" but the vendor database's.
std::vector<std::string> interface_names(const LibraryDir& library) {
    DIR* dir = opendir(library.path());
    if (dir == nullptr) {
        diag_fatal("library directory %s cannot be read: %s\n", library.path(),
                   std::strerror(errno));
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view file = entry->d_name;
        if (file.size() <= kDatabaseSuffix.size() || !file.ends_with(kDatabaseSuffix)) continue;
        const std::string name(file.substr(0, file.size() - kDatabaseSuffix.size()));
        if (name == kVendorBaseName) continue;
        struct stat st {};
        const std::string path = library.file(entry->d_name, "");
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return natural_less(a, b); });
    return names;
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto [library, output] =
        parse_library_tool_options(argc, argv, "pelorin-html", "outdir");

    library.check(kVendorBaseName, kVendorPathSlack);
    const std::vector<std::string> names = interface_names(library);
    // Every path is checked before anything is written.
    for (const std::string& name : names) library.check(name.c_str(), kInterfacePathSlack);

    // Written into the library directory, the pages would wake the path
    // unit that watches it, which would write them again, for ever.
    struct stat library_stat {
    }, target{};
    if (stat(library.path(), &library_stat) == 0 && stat(output, &target) == 0 &&
        library_stat.st_dev == target.st_dev && library_stat.st_ino == target.st_ino) {
        diag_fatal("output directory %s is the library directory\n", output);
    }
    OutputDirectory out(output);
    const PageContext context{static_cast<std::int64_t>(std::time(nullptr)), library.path()};
    std::vector<InterfaceSummary> summaries;
    for (const std::string& name : names) {
        InterfaceSnapshot snapshot;
        {
            InterfaceDb db(library, name.c_str(), OpenMode::read);
            db.attach_vendor(library);
            snapshot = db.snapshot(name);
        }
        // Only now, with the database closed, may a slow resolver keep us.
        resolve_host_names(snapshot);
        const int pages = interface_page_count(snapshot);
        for (int page = 1; page <= pages; ++page) {
            out.replace(interface_page_name(name, page),
                        render_interface_page(snapshot, context, page));
        }
        summaries.push_back(summarize(snapshot));
    }
    // Last, so that the index never links to a page not yet written.
    out.replace("index.html", render_index(summaries, context));
    out.finish(is_interface_page_name);
    return 0;
}
