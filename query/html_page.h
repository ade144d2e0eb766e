// The report's pages as text: the index of every interface database and the
// pages of one interface (current bindings, addresses that moved, changes
// per day). Pages hold at most kCurrentRowsPerPage + kHistoryRowsPerPage
// table rows; an interface with more continues on further pages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interface_snapshot.h"

// Small enough that a browser filters a full page within half a second on a
// busy machine (the time goes into laying out the rows shown again).
constexpr std::size_t kCurrentRowsPerPage = 1000;
constexpr std::size_t kHistoryRowsPerPage = 250;

// What the index shows of one interface.
struct InterfaceSummary {
    std::string name;
    std::size_t bindings = 0;
    std::int64_t changes_day = 0, changes_week = 0, newest_sighting = 0;
};

// Said in every page's heading line.
struct PageContext {
    std::int64_t generated = 0;
    std::string library_directory;
};

// The policy the pages carry in their meta element. The header form adds
// what only a header can say (frame-ancestors).
std::string content_security_policy(bool header);

InterfaceSummary summarize(const InterfaceSnapshot& snapshot);
std::string render_index(const std::vector<InterfaceSummary>& interfaces,
                         const PageContext& context);

int interface_page_count(const InterfaceSnapshot& snapshot);
// REQUIRES: 1 <= page <= interface_page_count(snapshot).
std::string render_interface_page(const InterfaceSnapshot& snapshot, const PageContext& context,
                                  int page);
