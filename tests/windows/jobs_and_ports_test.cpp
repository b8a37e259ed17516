// Port discovery against the private prefix's real registry (filled by
// run_jobs_and_ports_test.sh), and a worker handed a mode that names no script.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "log/activity_log.h"
#include "modes/mode_switch.h"
#include "serial/port_discovery.h"
#include "test_support.h"

namespace {

TEST(PortDiscovery, RegistryValuesGiveExactlyTheUsablePortsInOrder) {
    PortNameTable table;
    int count = EnumerateComPorts(&table);
    std::vector<std::string> names(table.names, table.names + table.count);
    std::string listed;
    for (const std::string& name : names) {
        listed += " '" + name + "'";
    }
    // The harness adds: COM10, com2, COM2 (a duplicate read after com2),
    // CNCA0, a 40-byte name, a REG_DWORD, a 300-byte text and an empty text.
    const std::vector<std::string> expected = {"CNCA0", "com2", "COM10",
                                               "KAVREL-LONG-PORT-NAME-012345678"};
    EXPECT_EQ(count, (int)expected.size()) << "listed:" << listed;
    EXPECT_EQ(names, expected) << "listed:" << listed;
}

TEST(SwitchJobs, AModeWithoutAScriptFailsOnceAndStillEndsTheJob) {
    for (SwitchMode mode : {0, 4, -1}) {
        LogSink sink;
        ASSERT_NE(sink.window, (HWND)NULL);
        SwitchJob* job = (SwitchJob*)calloc(1, sizeof(SwitchJob));
        ASSERT_NE(job, nullptr);
        job->owner = sink.window;
        job->mode = mode;
        strcpy(job->portName, "COM1");
        job->baudRate = 460800;

        EXPECT_EQ(SwitchWorker(job), 0u) << "mode " << mode;

        std::vector<std::string> events = sink.Collect();
        EXPECT_EQ(events, (std::vector<std::string>{"Failed.", "(job done)"})) << "mode " << mode;
    }
}

} // namespace
