// What `omu bench` reports: the text table, the JSON document and the SVG bar chart.
#pragma once

#include <string>
#include <vector>

#include "bench_measure.h"

namespace omu {

extern const char* const emulator_note;

// The lines before the measurements: device, library and the reference launch.
void print_header(const run_info& info, const std::string& library_path);
// The table of results and the lists of entries skipped or without a row.
void print_table(const run_info& info, const std::vector<result>& results);

std::string to_json(const run_info& info, const std::vector<result>& results);
// Horizontal bars of the large-size ratio to a copy, one per row, grouped by family, with a line
// at 1 (copy speed).
std::string to_svg(const run_info& info, const std::vector<result>& results);

}  // namespace omu
