// Reading the log as a person sees it: the one parser of "[hh:mm:ss] "
// lines, shared by the window driver, the benchmark and the tests.
// Portable: no system headers.
#pragma once

#include <string>
#include <vector>

// Log text split into its entries, each without the timestamp and the final
// CR LF. A line received with CR LF inside stays one entry; text that lacks
// the timestamp or the CR LF is kept as it is, so a test sees the fault.
std::vector<std::string> LogEntries(const std::string& text);
