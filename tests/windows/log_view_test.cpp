// The log view's side of the activity log: lines posted in a burst reach the
// view whole and in order, and Clear Log also drops lines that were on their
// way in.
#include <gtest/gtest.h>

#include <string>

#include "gui/activity_log.h"
#include "gui/log_view.h"
#include "gui/main_window.h"
#include "window_driver.h"

namespace {

HWND g_window;

// Through the window's own log sink, as every logged line goes.
void PostLine(const std::string& line) {
    ASSERT_TRUE(PostLogText(g_window, line.c_str(), line.size()));
}

// Dispatches at most `limit` queued messages; returns how many it did.
int Dispatch(int limit) {
    MSG message;
    int count = 0;
    while (count < limit && PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&message);
        ++count;
    }
    return count;
}

std::string ViewText() {
    return WindowText(g_controls.logView);
}

std::string Line(int index, size_t size) {
    std::string line = "[00:00:00] << " + std::to_string(index) + " ";
    line.resize(size - 2, (char)('a' + index % 26));
    return line + "\r\n";
}

class LogViewTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        HINSTANCE instance = GetModuleHandleA(NULL);
        ASSERT_TRUE(RegisterMainWindowClass(instance));
        g_window = CreateMainWindow(instance);
        ASSERT_NE(g_window, nullptr);
    }
    void SetUp() override {
        Dispatch(100000); // the window's own start-up lines
        SendMessageA(g_window, WM_COMMAND, IDC_CLEAR_LOG, 0);
        ASSERT_EQ(ViewText(), "");
    }
};

TEST_F(LogViewTest, BurstsArriveWholeAndInOrder) {
    struct Burst {
        const char* name;
        int lines;
        size_t lineBytes;
    };
    // Sizes chosen to cross the view's batching at and around its edge.
    const Burst bursts[] = {
        {"one short line", 1, 40},
        {"short lines", 3000, 90},
        {"longest lines", 200, 1799},
        {"lines that just fill a batch", 128, 512},
    };
    for (const Burst& burst : bursts) {
        SendMessageA(g_window, WM_COMMAND, IDC_CLEAR_LOG, 0);
        std::string expected;
        for (int i = 0; i < burst.lines; ++i) {
            std::string line = Line(i, burst.lineBytes);
            expected += line;
            PostLine(line);
            if (i % 7 == 3) {
                PostMessageA(g_window, WM_APP_LOG_TEXT, 0, 0); // ignored
            }
        }
        Dispatch(100000);
        std::string shown = ViewText();
        EXPECT_EQ(shown.size(), expected.size()) << burst.name << ": bytes shown";
        EXPECT_TRUE(shown == expected) << burst.name << ": the view differs from the lines posted";
    }
}

TEST_F(LogViewTest, ClearDropsLinesOnTheirWayIn) {
    PostLine("[00:00:01] before the clear\r\n");
    PostLine("[00:00:02] after the clear\r\n");
    // The first line is taken while the second waits behind it, then the
    // user clears: the first must not come back.
    ASSERT_EQ(Dispatch(1), 1);
    SendMessageA(g_window, WM_COMMAND, IDC_CLEAR_LOG, 0);
    Dispatch(100000);
    EXPECT_EQ(ViewText(), "[00:00:02] after the clear\r\n");
}

} // namespace
