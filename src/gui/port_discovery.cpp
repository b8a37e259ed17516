#include "gui/port_discovery.h"

#include "engine/log_line.h"
#include "engine/port_names.h"
#include "gui/main_window.h"
#include "platform/windows/port_listing.h"

void RefreshPortList(HWND owner) {
    HWND list = g_controls.portCombo;
    SendMessageA(list, CB_RESETCONTENT, 0, 0);

    PortNameTable table;
    if (EnumerateComPorts(&table) == 0) {
        LogLine(owner, "No COM port found. Plug in the device and click Refresh.");
        return;
    }
    for (int i = 0; i < table.count; ++i) {
        SendMessageA(list, CB_ADDSTRING, 0, (LPARAM)table.names[i]);
    }
    char summary[PORT_SUMMARY_LEN];
    BuildPortSummary(&table, summary, sizeof summary);
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    LogLine(owner, "Refreshed COM ports: %s", summary);
}
