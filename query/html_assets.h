// The one style sheet and the one script every report page carries inline,
// and the Content-Security-Policy that allows exactly these two texts and
// nothing else: no other script, no style attribute, no request of any kind.
#pragma once

#include <string_view>

#include "csp_hash.h"

// Rows marked "recent" changed in the last day; "hidden" rows are filtered
// out (the attribute is set by the script; [hidden] needs no style rule).
// No rule depends on a row's position (no striping by nth-child): hiding one
// row would restyle every row after it.
constexpr std::string_view kPageStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:1em 2em;color:#222;background:#fff}
h1{font-size:1.5em;margin:.2em 0}h2{font-size:1.15em;margin:1.2em 0 .4em}
table{border-collapse:collapse}th,td{padding:.15em .6em;text-align:left;white-space:nowrap}
thead th{background:#e8ecf1;position:sticky;top:0;cursor:pointer;user-select:none}
thead th[aria-sort=ascending]::after{content:" \25b2"}thead th[aria-sort=descending]::after{content:" \25bc"}
td{border-bottom:1px solid #e4e7eb}tr.recent{background:#fff1b8}
td.n{text-align:right}.muted{color:#666}nav a{margin-right:.8em}
svg.chart{width:720px;max-width:100%;height:auto}.bar{fill:#3b6ea5}.axis{stroke:#999}
svg text{font-size:11px;fill:#555}input{font:inherit;padding:.2em .4em;width:22em}
)";

// Filters the rows of every table marked "filterable" by the words typed
// (all must occur in a row; also taken from ?q= in the address, so a filter
// can be bookmarked), and sorts a table by the column whose head is
// clicked: by a cell's data-k key when it has one, numerically when both
// texts are numbers, else as text. Only rows whose state changes are
// touched, which keeps a filter on a full page quick.
constexpr std::string_view kPageScript = R"(
"use strict";
(function () {
  var input = document.getElementById("filter");
  var shown = document.getElementById("shown");
  var rows = Array.prototype.slice.call(document.querySelectorAll("table.filterable tbody tr"));
  var texts = rows.map(function (r) { return r.textContent.toLowerCase(); });
  var history = rows.map(function (r) { return r.closest("table").id === "history"; });
  function apply() {
    var words = input.value.toLowerCase().split(/\s+/).filter(Boolean);
    var n = [0, 0], all = [0, 0];
    for (var i = 0; i < rows.length; i++) {
      var hit = words.every(function (w) { return texts[i].indexOf(w) >= 0; });
      if (rows[i].hidden === hit) rows[i].hidden = !hit;
      var t = history[i] ? 1 : 0;
      all[t]++;
      if (hit) n[t]++;
    }
    shown.textContent = n[0] + " of " + all[0] + " bindings" +
      (all[1] ? ", " + n[1] + " of " + all[1] + " history rows" : "") + " shown";
  }
  function key(row, c) {
    var cell = row.cells[c];
    return cell ? (cell.getAttribute("data-k") || cell.textContent) : "";
  }
  function compare(a, b) {
    var x = Number(a), y = Number(b);
    if (a !== "" && b !== "" && !isNaN(x) && !isNaN(y)) return x - y;
    return a < b ? -1 : a > b ? 1 : 0;
  }
  Array.prototype.forEach.call(document.querySelectorAll("table.sortable thead th"), function (th) {
    th.addEventListener("click", function () {
      var body = th.closest("table").tBodies[0];
      var c = th.cellIndex;
      var up = th.getAttribute("aria-sort") !== "ascending";
      Array.prototype.forEach.call(th.parentNode.cells, function (h) { h.removeAttribute("aria-sort"); });
      th.setAttribute("aria-sort", up ? "ascending" : "descending");
      var list = Array.prototype.slice.call(body.rows);
      list.sort(function (a, b) { var r = compare(key(a, c), key(b, c)); return up ? r : -r; });
      list.forEach(function (r) { body.appendChild(r); });
    });
  });
  if (input && shown) {
    var q = new URLSearchParams(window.location.search).get("q");
    if (q) input.value = q;
    input.addEventListener("input", apply);
    apply();
  }
})();
)";

constexpr auto kPageStyleHash = csp_detail::hash_source(kPageStyle);
constexpr auto kPageScriptHash = csp_detail::hash_source(kPageScript);
