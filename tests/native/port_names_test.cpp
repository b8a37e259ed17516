#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "engine/port_names.h"

namespace {

std::vector<std::string> BuildSorted(const std::vector<std::string>& read) {
    PortNameTable table;
    memset(&table, 0, sizeof table);
    for (const std::string& name : read) {
        AddPortName(&table, name.c_str());
    }
    SortPortNames(&table);
    return std::vector<std::string>(table.names, table.names + table.count);
}

std::string Join(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

TEST(PortNames, TableIsDeduplicatedCutAndInPortNumberOrder) {
    const std::string long40(40, 'L');
    struct {
        const char* what;
        std::vector<std::string> read;
        std::vector<std::string> expected;
    } cases[] = {
        {"numbers, not text",
         {"COM10", "COM2", "com1", "CNCA0"},
         {"CNCA0", "com1", "COM2", "COM10"}},
        {"duplicate ignoring case keeps the first", {"COM3", "com3"}, {"COM3"}},
        {"empty names are skipped", {"", "COM4", ""}, {"COM4"}},
        {"short names order by text", {"COM1", "co", "C", "CON"}, {"C", "co", "COM1", "CON"}},
        {"equal numbers fall back to text", {"COM2", "COM02", "COM 2"}, {"COM 2", "COM02", "COM2"}},
        {"numbers past 32 bits saturate, never wrap",
         {"COM4294967298", "COM10", "COM99999999999", "COM2147483647"},
         {"COM10", "COM2147483647", "COM4294967298", "COM99999999999"}},
        {"names are cut to 31 bytes", {long40}, {std::string(31, 'L')}},
        {"names equal after the cut are one",
         {long40, std::string(35, 'L') + "x"},
         {std::string(31, 'L')}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Join(BuildSorted(c.read)), Join(c.expected)) << c.what;
    }
}

TEST(PortNames, SummaryLeavesOutANameThatDoesNotFitButNotTheNextOne) {
    PortNameTable table;
    memset(&table, 0, sizeof table);
    for (int i = 0; i < 17; ++i) {
        AddPortName(&table, (std::string(30, 'a' + i)).c_str());
    }
    AddPortName(&table, "COM9");
    char summary[PORT_SUMMARY_LEN];
    BuildPortSummary(&table, summary, sizeof summary);
    std::string text(summary);
    // 16 names of 30 bytes with their blanks, then " COM9"; the 17th, "qqq...", is out.
    EXPECT_EQ(text, text.substr(0, 16 * 31 - 1) + " COM9") << text;
    EXPECT_EQ(text.size(), 16u * 31 - 1 + 5) << text;
    EXPECT_EQ(text.find('q'), std::string::npos) << text;
}

} // namespace
