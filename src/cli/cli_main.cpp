// kavrel-mode-switch-cli: the same switch as the window, from a terminal.
// The engine's log lines go to standard output as they are made.
#include <stdio.h>
#include <string.h>

#include "console.h"
#include "terminal_text.h"
#include "../log/log_line.h"
#include "../modes/baud_text.h"
#include "../modes/mode_scripts.h"
#include "../modes/script_runner.h"
#include "../serial/port_listing.h"

namespace {

// KMS_VERSION comes from project() in CMakeLists.txt, the one place it is written.
const char VERSION[] = "kavrel-mode-switch-cli " KMS_VERSION;
const size_t PORT_PATH_MAX_LEN = 255; // bytes; by-id paths are 60 to 90
const int EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2;

const char USAGE[] =
    "usage: kavrel-mode-switch-cli list\n"
    "       kavrel-mode-switch-cli switch PORT MODE [--baud RATE]\n"
    "       kavrel-mode-switch-cli --help | --version\n"
    "  MODE   survey-in | base-only | rover\n"
    "  RATE   9600 | 38400 | 115200 | 230400 | 460800 | 921600   (default 460800)\n"
    "  PORT   COM5 on Windows; /dev/ttyUSB0, /dev/ttyACM0 or a /dev/serial/by-id/... path on "
    "Linux\n";

struct ModeName {
    const char* name;
    SwitchMode mode;
};
const ModeName MODE_NAMES[] = {
    {"survey-in", BaseSurveyIn}, {"base-only", BaseOnly}, {"rover", Rover}};

// The terminal's log sink: each line is written and flushed at once, so that
// a pipe or a file sees it as it happens; a line that cannot be written is
// dropped.
int PrintLogLine(void*, const char* line, size_t length) {
    char out[TERMINAL_LINE_LEN];
    size_t used = TerminalLine(line, length, out, sizeof out);
    size_t written = fwrite(out, 1, used, stdout);
    return fflush(stdout) == 0 && written == used;
}

int UsageError(const char* problem, const char* what) {
    fprintf(stderr, "kavrel-mode-switch-cli: %s%s\n%s", problem, what, USAGE);
    return EXIT_USAGE;
}

void PrintPort(const char* path, const char* alias, void*) {
    if (alias[0] != '\0') {
        printf("%s\t%s\n", path, alias);
    } else {
        printf("%s\n", path);
    }
}

int ListPorts() {
    if (ListSerialPorts(PrintPort, nullptr) == 0) {
        fprintf(stderr, "No COM port found. Plug in the device and click Refresh.\n");
    }
    return fflush(stdout) == 0 ? EXIT_DONE : EXIT_FAILED;
}

const ModeName* FindMode(const char* name) {
    for (const ModeName& mode : MODE_NAMES) {
        if (strcmp(mode.name, name) == 0) {
            return &mode;
        }
    }
    return nullptr;
}

uint32_t FindBaud(const char* text) {
    for (const char* baud : BAUD_TEXTS) {
        if (strcmp(baud, text) == 0) {
            return ParseBaudText(baud);
        }
    }
    return 0;
}

// Checked in full before anything is opened: a usage error touches no port.
int Switch(int argc, char** argv) {
    if (argc != 4 && !(argc == 6 && strcmp(argv[4], "--baud") == 0)) {
        return UsageError("switch takes PORT MODE [--baud RATE]", "");
    }
    const char* port = argv[2];
    const ModeName* mode = FindMode(argv[3]);
    uint32_t baud = FindBaud(argc == 6 ? argv[5] : BAUD_TEXTS[DEFAULT_BAUD_INDEX]);
    if (port[0] == '\0' || strlen(port) > PORT_PATH_MAX_LEN) {
        return UsageError("the port must be 1 to 255 bytes long", "");
    }
    if (mode == nullptr) {
        return UsageError("unknown mode: ", argv[3]);
    }
    if (baud == 0) {
        return UsageError("unknown baud rate: ", argv[5]);
    }
    g_logSink = PrintLogLine;
    const ModeScript* script = FindModeScript(mode->mode);
    if (RunModeScript(nullptr, script->displayName, port, baud, script->sentences, script->count)) {
        return EXIT_DONE;
    }
    LogLine(nullptr, "Failed.");
    return EXIT_FAILED;
}

} // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    const char* command = argc >= 2 ? argv[1] : "";
    if (strcmp(command, "switch") == 0) {
        return Switch(argc, argv);
    }
    if (strcmp(command, "list") == 0) {
        return argc == 2 ? ListPorts() : UsageError("list takes no arguments", "");
    }
    if (argc == 2 && strcmp(command, "--help") == 0) {
        fputs(USAGE, stdout);
        return EXIT_DONE;
    }
    if (argc == 2 && strcmp(command, "--version") == 0) {
        puts(VERSION);
        return EXIT_DONE;
    }
    return UsageError(argc < 2 ? "no command" : "unknown command: ", argc < 2 ? "" : command);
}
