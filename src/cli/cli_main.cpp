// kavrel-mode-switch-cli: the same switch as the window, from a terminal.
// The engine's log lines go to standard output as they are made.
#include <stdio.h>
#include <string.h>

#include "cli/console.h"
#include "cli/terminal_text.h"
#include "engine/baud_text.h"
#include "engine/log_line.h"
#include "engine/mode_scripts.h"
#include "engine/script_runner.h"
#include "engine/serial_line.h"
#include "platform/port_listing.h"

namespace {

// The one place the version is written is the build's project version.
const char VERSION[] = "kavrel-mode-switch-cli " KMS_VERSION;
const int EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2;

const char USAGE[] = "usage: kavrel-mode-switch-cli list\n"
                     "       kavrel-mode-switch-cli switch PORT MODE [--baud RATE]\n"
                     "       kavrel-mode-switch-cli --help | --version\n";
const char PORT_HELP[] =
    "  PORT   COM5 on Windows; /dev/ttyUSB0, /dev/ttyACM0 or a /dev/serial/by-id/... path on "
    "Linux\n";

// The usage, with the modes and rates as the tables hold them.
void PrintUsage(FILE* out) {
    fputs(USAGE, out);
    fputs("  MODE  ", out);
    for (SwitchMode mode = BaseSurveyIn; mode < BaseSurveyIn + MODE_COUNT; ++mode) {
        fprintf(out, "%s %s", mode == BaseSurveyIn ? "" : " |", FindModeScript(mode)->commandName);
    }
    fputs("\n  RATE  ", out);
    for (int i = 0; i < BAUD_TEXT_COUNT; ++i) {
        fprintf(out, "%s %s", i == 0 ? "" : " |", BAUD_TEXTS[i]);
    }
    fprintf(out, "   (default %s)\n%s", BAUD_TEXTS[DEFAULT_BAUD_INDEX], PORT_HELP);
}

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
    fprintf(stderr, "kavrel-mode-switch-cli: %s%s\n", problem, what);
    PrintUsage(stderr);
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

const ModeScript* FindMode(const char* name) {
    for (SwitchMode mode = BaseSurveyIn; mode < BaseSurveyIn + MODE_COUNT; ++mode) {
        const ModeScript* script = FindModeScript(mode);
        if (strcmp(script->commandName, name) == 0) {
            return script;
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
    const ModeScript* script = FindMode(argv[3]);
    uint32_t baud = FindBaud(argc == 6 ? argv[5] : BAUD_TEXTS[DEFAULT_BAUD_INDEX]);
    if (port[0] == '\0' || strlen(port) > PORT_PATH_MAX_LEN) {
        return UsageError("the port must be 1 to 255 bytes long", "");
    }
    if (script == nullptr) {
        return UsageError("unknown mode: ", argv[3]);
    }
    if (baud == 0) {
        return UsageError("unknown baud rate: ", argv[5]);
    }
    g_logSink = PrintLogLine;
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
        PrintUsage(stdout);
        return EXIT_DONE;
    }
    if (argc == 2 && strcmp(command, "--version") == 0) {
        puts(VERSION);
        return EXIT_DONE;
    }
    return UsageError(argc < 2 ? "no command" : "unknown command: ", argc < 2 ? "" : command);
}
