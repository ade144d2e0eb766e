#include "html_page.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "html_assets.h"
#include "html_text.h"

namespace {

constexpr std::int64_t kDay = 86400;

// Sort key of an IP address: its bytes in hexadecimal, so that 192.0.2.9
// sorts before 192.0.2.10, and IPv4 before IPv6. The prefix keeps a key from
// ever reading as a number, so the script always compares keys as text.
// Empty when the text is no address of its type.
std::string address_key(int iptype, const std::string& text) {
    unsigned char bytes[16];
    const int family = iptype == 4 ? AF_INET : AF_INET6;
    if ((iptype != 4 && iptype != 6) || inet_pton(family, text.c_str(), bytes) != 1) return "";
    std::string key = iptype == 4 ? "v4-" : "v6-";
    constexpr std::string_view kHex = "0123456789abcdef";
    for (int i = 0; i < (iptype == 4 ? 4 : 16); ++i) {
        key += kHex[bytes[i] >> 4];
        key += kHex[bytes[i] & 15];
    }
    return key;
}

std::string counted(std::uint64_t n, std::string_view noun) {
    return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

void cell(std::string& out, std::string_view text) {
    out += "<td>";
    append_escaped(out, text);
    out += "</td>";
}

void keyed_cell(std::string& out, std::string_view key, std::string_view text,
                const char* css_class = nullptr) {
    out += "<td";
    if (css_class != nullptr) {
        out += " class=\"";
        out += css_class;
        out += '"';
    }
    out += " data-k=\"";
    append_escaped(out, key);
    out += "\">";
    append_escaped(out, text);
    out += "</td>";
}

void time_cell(std::string& out, std::int64_t seconds) {
    keyed_cell(out, std::to_string(seconds), format_local_time(seconds, true));
}

void begin_page(std::string& out, std::string_view title) {
    out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    out += "<meta http-equiv=\"Content-Security-Policy\" content=\"";
    append_escaped(out, content_security_policy(false));
    out += "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    out += "<meta name=\"referrer\" content=\"no-referrer\">\n<title>";
    append_escaped(out, title);
    out += "</title>\n<style>";
    out += kPageStyle;
    out += "</style>\n</head>\n<body>\n";
}

void heading(std::string& out, std::string_view title, const PageContext& context,
             bool link_index) {
    out += "<h1>";
    append_escaped(out, title);
    out += "</h1>\n<p class=\"muted\">Generated ";
    append_escaped(out, format_local_time(context.generated, true));
    out += " by pelorin-html from ";
    append_escaped(out, context.library_directory);
    out += '.';
    if (link_index) out += " <a href=\"index.html\">All interfaces</a>";
    out += "</p>\n";
}

void end_page(std::string& out) {
    out += "<script>";
    out += kPageScript;
    out += "</script>\n</body>\n</html>\n";
}

void page_link(std::string& out, std::string_view interface_name, int page) {
    out += "<a href=\"";
    append_uri_encoded(out, interface_page_name(interface_name, page));
    out += "\">";
}

void page_navigation(std::string& out, std::string_view interface_name, int page, int pages) {
    if (pages <= 1) return;
    out += "<nav><span class=\"muted\">Page ";
    out += std::to_string(page) + " of " + std::to_string(pages) + ":</span> ";
    for (int p = 1; p <= pages; ++p) {
        if (p == page) {
            out += "<strong>" + std::to_string(p) + "</strong> ";
        } else {
            page_link(out, interface_name, p);
            out += std::to_string(p) + "</a> ";
        }
    }
    out += "</nav>\n";
}

// Bars of changes per day, the tallest scaled to the chart's height, each
// with its date and count as a tooltip; presentation attributes and classes
// only, so the style-src of the policy covers it.
void chart(std::string& out, const InterfaceSnapshot& snapshot) {
    out += "<h2>Changes per day</h2>\n";
    const std::vector<std::int64_t>& counts = snapshot.changes_per_day;
    if (counts.empty()) {
        out += "<p class=\"muted\">No changes recorded.</p>\n";
        return;
    }
    constexpr int kWidth = 720, kHeight = 120, kLeft = 44, kBottom = 20, kTop = 8;
    constexpr int kBase = kHeight - kBottom;
    const std::int64_t most =
        std::max<std::int64_t>(1, *std::max_element(counts.begin(), counts.end()));
    const double step = (kWidth - kLeft - 4.0) / static_cast<double>(counts.size());
    const double scale = (kBase - kTop) / static_cast<double>(most);
    const std::int64_t last_day = snapshot.first_day + static_cast<std::int64_t>(counts.size()) - 1;

    char text[512];  // the longest piece, the head of the chart, is about 300 bytes
    std::snprintf(text, sizeof text,
                  "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %d %d\" "
                  "role=\"img\" aria-label=\"Changes per day\">\n"
                  "<line class=\"axis\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>\n"
                  "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%lld</text>\n"
                  "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">0</text>\n",
                  kWidth, kHeight, kLeft, kBase, kWidth - 2, kBase, kLeft - 6, kTop + 10,
                  static_cast<long long>(most), kLeft - 6, kBase);
    out += text;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const double height = static_cast<double>(counts[i]) * scale;
        std::snprintf(text, sizeof text,
                      "<rect class=\"bar\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">",
                      kLeft + 2 + step * static_cast<double>(i), kBase - height,
                      std::max(step - 1.0, 0.5), height);
        out += text;
        out += "<title>" + format_day_number(snapshot.first_day + static_cast<std::int64_t>(i)) +
               ": " + counted(static_cast<std::uint64_t>(counts[i]), "change") +
               "</title></rect>\n";
    }
    std::snprintf(text, sizeof text,
                  "<text x=\"%d\" y=\"%d\">%s</text>\n"
                  "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text>\n</svg>\n",
                  kLeft + 2, kHeight - 4, format_day_number(snapshot.first_day).c_str(), kWidth - 2,
                  kHeight - 4, format_day_number(last_day).c_str());
    out += text;
}

}  // namespace

std::string content_security_policy(bool header) {
    std::string policy = "default-src 'none'; script-src ";
    policy += kPageScriptHash.data();
    policy += "; style-src ";
    policy += kPageStyleHash.data();
    policy += "; img-src 'none'; base-uri 'none'; form-action 'none'";
    if (header) policy += "; frame-ancestors 'none'";
    return policy;
}

InterfaceSummary summarize(const InterfaceSnapshot& snapshot) {
    return {snapshot.name, snapshot.current.size(), snapshot.changes_day, snapshot.changes_week,
            snapshot.newest_sighting};
}

std::string render_index(const std::vector<InterfaceSummary>& interfaces,
                         const PageContext& context) {
    std::string out;
    begin_page(out, "pelorin: recorded bindings");
    heading(out, "Recorded bindings", context, false);
    if (interfaces.empty()) {
        out += "<p>No interface database in the library directory.</p>\n";
    } else {
        out +=
            "<table class=\"sortable\" id=\"interfaces\">\n<thead><tr><th>Interface</th>"
            "<th>Current bindings</th><th>Changes, last 24 hours</th>"
            "<th>Changes, last 7 days</th><th>Newest sighting</th></tr></thead>\n<tbody>\n";
        for (const InterfaceSummary& s : interfaces) {
            out += "<tr><td>";
            page_link(out, s.name, 1);
            append_escaped(out, s.name);
            out += "</a></td><td class=\"n\">" + std::to_string(s.bindings) +
                   "</td><td class=\"n\">" + std::to_string(s.changes_day) +
                   "</td><td class=\"n\">" + std::to_string(s.changes_week) + "</td>";
            time_cell(out, s.newest_sighting);
            out += "</tr>\n";
        }
        out += "</tbody>\n</table>\n";
    }
    end_page(out);
    return out;
}

int interface_page_count(const InterfaceSnapshot& snapshot) {
    const auto pages = [](std::size_t rows, std::size_t per_page) {
        return (rows + per_page - 1) / per_page;
    };
    return static_cast<int>(
        std::max<std::size_t>({1, pages(snapshot.current.size(), kCurrentRowsPerPage),
                               pages(snapshot.history.size(), kHistoryRowsPerPage)}));
}

std::string render_interface_page(const InterfaceSnapshot& snapshot, const PageContext& context,
                                  int page) {
    const int pages = interface_page_count(snapshot);
    std::string out;
    out.reserve(1024 + 420 * kCurrentRowsPerPage);
    begin_page(out, "pelorin: " + snapshot.name);
    heading(out, snapshot.name, context, true);
    out += "<p>";
    out += counted(snapshot.current.size(), "current binding") + "; " +
           counted(snapshot.changes_day, "change") + " in the last 24 hours, " +
           std::to_string(snapshot.changes_week) + " in the last 7 days; newest sighting ";
    append_escaped(out, format_local_time(snapshot.newest_sighting, true));
    out += ". Rows changed in the last 24 hours are highlighted.</p>\n";
    page_navigation(out, snapshot.name, page, pages);
    if (page == 1) chart(out, snapshot);

    const std::size_t first = static_cast<std::size_t>(page - 1) * kCurrentRowsPerPage;
    const std::size_t last = std::min(snapshot.current.size(), first + kCurrentRowsPerPage);
    out +=
        "<h2>Current bindings</h2>\n<p><label>Filter: <input id=\"filter\" type=\"search\" "
        "autocomplete=\"off\" placeholder=\"words that must all occur in a row\"></label> "
        "<span id=\"shown\" class=\"muted\"></span></p>\n";
    out +=
        "<table class=\"sortable filterable\" id=\"current\">\n<thead><tr><th>First seen</th>"
        "<th>Last seen</th><th title=\"days since last seen\">Age (days)</th>"
        "<th>Host name</th><th>IP address</th><th>Hardware address</th>"
        "<th>Organisation</th><th>Change</th></tr></thead>\n<tbody>\n";
    for (std::size_t i = first; i < last; ++i) {
        const SnapshotRow& row = snapshot.current[i];
        const bool recent = row.sec <= snapshot.now && snapshot.now - row.sec < kDay;
        out += recent ? "<tr class=\"recent\">" : "<tr>";
        time_cell(out, row.sec);
        time_cell(out, row.utime);
        keyed_cell(out, std::to_string(row.age), std::to_string(row.age / kDay), "n");
        cell(out, row.host);
        keyed_cell(out, address_key(row.iptype, row.ipaddr), row.ipaddr);
        cell(out, row.hwaddr);
        cell(out, row.organisation);
        cell(out, row.changed ? "changed" : "new");
        out += "</tr>\n";
    }
    out += "</tbody>\n</table>\n";

    const std::size_t hfirst = static_cast<std::size_t>(page - 1) * kHistoryRowsPerPage;
    const std::size_t hlast = std::min(snapshot.history.size(), hfirst + kHistoryRowsPerPage);
    out += "<h2>Addresses with more than one hardware address</h2>\n";
    if (snapshot.history.empty()) {
        out += "<p class=\"muted\">None.</p>\n";
    } else if (hfirst >= hlast) {
        out += "<p class=\"muted\">On the earlier pages.</p>\n";
    } else {
        out +=
            "<table class=\"sortable filterable\" id=\"history\">\n<thead><tr>"
            "<th>IP address</th><th>Host name</th><th>Hardware address</th>"
            "<th>Organisation</th><th>First seen</th><th>Last seen</th></tr></thead>\n<tbody>\n";
        for (std::size_t i = hfirst; i < hlast; ++i) {
            const SnapshotRow& row = snapshot.history[i];
            const bool recent = row.sec <= snapshot.now && snapshot.now - row.sec < kDay;
            out += recent ? "<tr class=\"recent\">" : "<tr>";
            keyed_cell(out, address_key(row.iptype, row.ipaddr), row.ipaddr);
            cell(out, row.host);
            cell(out, row.hwaddr);
            cell(out, row.organisation);
            time_cell(out, row.sec);
            time_cell(out, row.utime);
            out += "</tr>\n";
        }
        out += "</tbody>\n</table>\n";
    }
    page_navigation(out, snapshot.name, page, pages);
    end_page(out);
    return out;
}
