#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "serial/port_names.h"

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

TEST(PortNames, OrderIsAntisymmetricOnAwkwardNames) {
    const char* names[] = {"COM1", "com1x", "COM-1", "COM+1",          "COM 1",
                           "CO",   "C",     "",      "COMA",           "COM",
                           "COM0", "cnca0", "\xff",  "COM99999999999", "COM-99999999999"};
    for (const char* a : names) {
        for (const char* b : names) {
            int ab = ComparePortNames(a, b);
            int ba = ComparePortNames(b, a);
            EXPECT_EQ(ab<0, ba> 0) << "'" << a << "' vs '" << b << "'";
            EXPECT_EQ(ab == 0, strcmp(a, b) == 0) << "'" << a << "' vs '" << b << "'";
        }
    }
}

TEST(PortNames, TableKeepsTheFirst128Names) {
    std::vector<std::string> read;
    for (int i = 0; i < 200; ++i) {
        read.push_back("COM" + std::to_string(i));
    }
    std::vector<std::string> sorted = BuildSorted(read);
    ASSERT_EQ(sorted.size(), (size_t)MAX_PORTS);
    EXPECT_EQ(sorted.front(), "COM0");
    EXPECT_EQ(sorted.back(), "COM127");
}

TEST(PortNames, SummaryStaysWithinItsBufferWhileTheTableKeepsEveryName) {
    PortNameTable table;
    memset(&table, 0, sizeof table);
    for (int i = 0; i < 100; ++i) {
        std::string name = "COM" + std::to_string(i) + std::string(20 + i % 9, 'z');
        ASSERT_EQ(AddPortName(&table, name.c_str()), 1) << name;
    }
    char summary[PORT_SUMMARY_LEN];
    BuildPortSummary(&table, summary, sizeof summary);
    EXPECT_LE(strlen(summary), 510u);
    EXPECT_EQ(table.count, 100);

    // A short name after one that did not fit still gets in.
    memset(&table, 0, sizeof table);
    for (int i = 0; i < 17; ++i) {
        AddPortName(&table, (std::string(30, 'a' + i)).c_str());
    }
    AddPortName(&table, "COM9");
    BuildPortSummary(&table, summary, sizeof summary);
    std::string text(summary);
    EXPECT_EQ(text.size(), 16u * 31 - 1 + 5) << text;
    EXPECT_EQ(text.substr(text.size() - 5), " COM9") << text;
    EXPECT_EQ(text.find('q'), std::string::npos) << "the 17th long name does not fit: " << text;
}

} // namespace
