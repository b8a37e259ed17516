// kavrel-mode-switch-cli: the same switch as the window, from a terminal.
// The engine's log lines go to standard output as they are made.
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include "cli/console.h"
#include "engine/line_text.h"
#include "cli/watch.h"
#include "engine/baud_text.h"
#include "engine/clock.h"
#include "engine/log_line.h"
#include "engine/message_scan.h"
#include "engine/mode_scripts.h"
#include "engine/drain.h"
#include "engine/rate_probe.h"
#include "engine/script_runner.h"
#include "engine/serial_line.h"
#include "engine/serial_port.h"
#include "engine/switch_flow.h"
#include "engine/system_log.h"
#include "platform/port_listing.h"

namespace {

// KMS_VERSION comes from project() in CMakeLists.txt, the one place it is written.
const char VERSION[] = "kavrel-mode-switch-cli " KMS_VERSION;
const unsigned DEFAULT_REBOOT_TIMEOUT_S = 30;
const unsigned REBOOT_TIMEOUT_MAX_S = 3600;
const int MAX_WORDS = 3;             // the command, the port and the mode
const size_t USAGE_PROBLEM_LEN = 96; // bytes of a usage error's problem text

const char USAGE[] =
    "usage: kavrel-mode-switch-cli switch PORT MODE [-b RATE] [--reboot-timeout SECONDS]\n"
    "       kavrel-mode-switch-cli probe PORT\n"
    "       kavrel-mode-switch-cli watch PORT [-b RATE] [--until COND] [--timeout SECONDS] "
    "[--json]\n"
    "       kavrel-mode-switch-cli list [-v]\n"
    "       kavrel-mode-switch-cli -h | --help | -V | --version\n";
const char PORT_HELP[] =
    "  PORT   COM5 on Windows; /dev/ttyUSB0, /dev/ttyACM0 or a /dev/serial/by-id/... path on "
    "Linux\n";
// Filled in from the limits below and the engine's retry interval.
const char OPTIONS_HELP[] =
    "  -b, --baud RATE           the module's baud rate; %s finds it as probe does\n"
    "  --reboot-timeout SECONDS  how long after each reset the module may take to come back\n"
    "                            (1 to %u, default %u); the port is tried again every %lu ms\n"
    "  -v, --verbose             list: what the system knows of each port (Linux)\n"
    "  --until COND              watch: end as soon as it holds\n"
    "  --timeout SECONDS         watch: end after this long (1 to %u)\n"
    "  --json                    watch: one JSON object a second instead of the status lines\n"
    "Options may come before or after PORT and MODE.\n"
    "Exit status: %d done, %d failed, %d usage error, %d done but no reply from the module,\n"
    "%d interrupted (Ctrl+C), %d interrupted (SIGTERM). probe: %d rate found, %d none.\n"
    "watch: %d met (or timed out without --until), %d not met by the time-out.\n";

// The probe's lines, by what a rate gave.
const char* const HEARD_TEXTS[] = {"nothing", "bytes, no valid message", "valid messages",
                                   "the adapter refused this rate"};

// Long options without a letter.
const int REBOOT_TIMEOUT_OPTION = 1000, UNTIL_OPTION = 1001, TIMEOUT_OPTION = 1002,
          JSON_OPTION = 1003;
const char SHORT_OPTIONS[] = "-:b:hVv"; // in order, so POSIXLY_CORRECT changes nothing
const struct option LONG_OPTIONS[] = {
    {"baud", required_argument, nullptr, 'b'},
    {"reboot-timeout", required_argument, nullptr, REBOOT_TIMEOUT_OPTION},
    {"until", required_argument, nullptr, UNTIL_OPTION},
    {"timeout", required_argument, nullptr, TIMEOUT_OPTION},
    {"json", no_argument, nullptr, JSON_OPTION},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

// The command line, as given; checked after it is read in full.
struct CommandLine {
    const char* words[MAX_WORDS];
    int wordCount;
    const char* baudText;          // null: not given
    const char* rebootTimeoutText; // null: not given
    const char* untilText;         // watch's; null: not given
    const char* timeoutText;
    bool help, version, verbose, json;
};

// Whether any of watch's own options was given.
bool WatchOptionGiven(const CommandLine* line) {
    return line->untilText != nullptr || line->timeoutText != nullptr || line->json;
}

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
    fprintf(out, " | %s   (default %s)\n%s", AUTO_BAUD_TEXT, BAUD_TEXTS[DEFAULT_BAUD_INDEX],
            PORT_HELP);
    fputs("  COND  ", out);
    for (int i = 0; i < UNTIL_NAME_COUNT; ++i) {
        fprintf(out, "%s %s", i == 0 ? "" : " |", UNTIL_NAMES[i].name);
    }
    fputs("\n", out);
    fprintf(out, OPTIONS_HELP, AUTO_BAUD_TEXT, REBOOT_TIMEOUT_MAX_S, DEFAULT_REBOOT_TIMEOUT_S,
            (unsigned long)REOPEN_RETRY_MS, WATCH_TIMEOUT_MAX_S, EXIT_DONE, EXIT_FAILED, EXIT_USAGE,
            EXIT_NO_REPLY, EXIT_INTERRUPTED, EXIT_TERMINATED, EXIT_DONE, EXIT_FAILED, EXIT_DONE,
            EXIT_NOT_MET);
}

// The terminal's log sink: each line is written and flushed at once, so that
// a pipe or a file sees it as it happens; a line that cannot be written is
// dropped.
int PrintLogLine(void*, const char* line, size_t length) {
    if (EndingOnInterrupt()) {
        return 0;
    }
    char out[TERMINAL_LINE_LEN];
    size_t used = TerminalLine(line, length, out, sizeof out);
    size_t written = fwrite(out, 1, used, stdout);
    return fflush(stdout) == 0 && written == used;
}

// The probe's own errors go with its progress lines, apart from its result,
// and like them without the log's time.
int PrintErrorLine(void*, const char* line, size_t length) {
    if (EndingOnInterrupt()) {
        return 0;
    }
    const char* message = LogLineMessage(line);
    char out[TERMINAL_LINE_LEN];
    size_t used = TerminalLine(message, length - (size_t)(message - line), out, sizeof out);
    return fwrite(out, 1, used, stderr) == used;
}

int UsageError(const char* problem, const char* what) {
    fprintf(stderr, "kavrel-mode-switch-cli: %s%s\n", problem, what);
    PrintUsage(stderr);
    return EXIT_USAGE;
}

// A usage error whose problem text holds one number, such as a limit.
int UsageErrorWithLimit(const char* problem, unsigned long limit, const char* what) {
    char text[USAGE_PROBLEM_LEN];
    snprintf(text, sizeof text, problem, limit);
    return UsageError(text, what);
}

// 0 when the port's name can be taken, else the usage error's status: a
// longer name is refused, never cut.
int PortNameProblem(const char* port) {
    if (port[0] != '\0' && strlen(port) <= PORT_PATH_MAX_LEN) {
        return 0;
    }
    return UsageErrorWithLimit("the port must be 1 to %lu bytes long", PORT_PATH_MAX_LEN, "");
}

// The rate's text as given, or the default's.
const char* BaudTextGiven(const CommandLine* line) {
    return line->baudText != nullptr ? line->baudText : BAUD_TEXTS[DEFAULT_BAUD_INDEX];
}

void PrintPort(const char* path, const char* alias, void*) {
    if (alias[0] != '\0') {
        printf("%s\t%s\n", path, alias);
    } else {
        printf("%s\n", path);
    }
}

// In a verbose listing the by-id names follow as details.
void PrintPath(const char* path, const char*, void*) {
    printf("%s\n", path);
}

// Through the terminal's escaping: a device's strings are its maker's.
void PrintDetail(const char* label, const char* value, void*) {
    char line[LOG_LINE_LEN];
    snprintf(line, sizeof line, value[0] != '\0' ? "  %s: %s\r\n" : "  (%s)\r\n", label, value);
    char out[TERMINAL_LINE_LEN];
    size_t used = TerminalLine(line, strlen(line), out, sizeof out);
    fwrite(out, 1, used, stdout);
}

int ListPorts(const CommandLine* line) {
    if (line->wordCount != 1 || line->baudText != nullptr || line->rebootTimeoutText != nullptr ||
        WatchOptionGiven(line)) {
        return UsageError("list takes no arguments but -v", "");
    }
    int count = line->verbose ? ListSerialPorts(PrintPath, PrintDetail, nullptr)
                              : ListSerialPorts(PrintPort, nullptr, nullptr);
    if (count == 0) {
        fprintf(stderr, "No serial port found. Plug in the module and run list again.\n");
    }
    return fflush(stdout) == 0 ? EXIT_DONE : EXIT_FAILED;
}

// Whole seconds from 1 to maxS, else 0.
unsigned ParseSeconds(const char* text, unsigned maxS) {
    unsigned seconds = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || seconds > maxS) {
            return 0;
        }
        seconds = seconds * 10 + (unsigned)(*digit - '0');
    }
    return seconds <= maxS ? seconds : 0;
}

// Dropped once the program ends on an interrupt, as the log's lines are:
// the rates refused then are the port's release under the probe.
void SayRateTried(void*, uint32_t baudRate, RateHeard heard) {
    if (!EndingOnInterrupt()) {
        fprintf(stderr, "%lu: %s\n", (unsigned long)baudRate, HEARD_TEXTS[heard]);
    }
}

// The names of one kind of message seen, after their label; nothing when none.
void PrintSeen(const ProbeResult* result, MessageKind kind, const char* label) {
    for (int i = 0; i < result->seenCount; ++i) {
        if (result->seen[i].kind == kind) {
            printf("%s %s", label, result->seen[i].name);
            label = "";
        }
    }
}

// Probes the port, the open's failure and a probe that found nothing
// logged. Returns the rate found, or 0.
uint32_t FindRate(const char* port, ProbeResult* result) {
    return FindModuleRate(nullptr, port, SayRateTried, nullptr, result, nullptr);
}

void LogNothing() {}

int Probe(const CommandLine* line) {
    if (line->wordCount != 2 || line->baudText != nullptr || line->rebootTimeoutText != nullptr ||
        line->verbose || WatchOptionGiven(line)) {
        return UsageError("probe takes PORT only", "");
    }
    const char* port = line->words[1];
    if (PortNameProblem(port) != 0) {
        return EXIT_USAGE;
    }
    g_logSink = PrintErrorLine;
    // Nothing was written, so there is nothing to say; the port is left free.
    EndSwitchOnInterrupt(LogNothing);
    ProbeResult result;
    if (FindRate(port, &result) == 0) {
        return EXIT_FAILED;
    }
    printf("%s: %lu baud", port, (unsigned long)result.baudRate);
    PrintSeen(&result, NMEA_MESSAGE, ", NMEA");
    PrintSeen(&result, RTCM_MESSAGE, ", RTCM 3");
    printf("\n");
    return fflush(stdout) == 0 ? EXIT_DONE : EXIT_FAILED;
}

void LogInterrupted() {
    InterruptSwitch(nullptr, nullptr);
}

void LogInterruptedBeforeWriting() {
    LogLine(nullptr, "Interrupted before anything was written.");
}

// Once the probe is over, whatever it found, an interrupt may come after
// the first write.
int NoteStep(void*, const SwitchStep* step) {
    if (step->kind == STEP_RATE) {
        EndSwitchOnInterrupt(LogInterrupted);
    }
    return 1;
}

// The switch itself, at the rate given or the one the probe finds.
int RunSwitch(const char* port, const ModeScript* script, uint32_t baud, uint32_t timeoutMs) {
    // Indexed by SwitchEnd.
    static const int END_STATUSES[] = {EXIT_DONE, EXIT_FAILED, EXIT_NO_REPLY, EXIT_INTERRUPTED};
    g_logSink = PrintLogLine;
    EndSwitchOnInterrupt(baud == AUTO_BAUD ? LogInterruptedBeforeWriting : LogInterrupted);
    const StepHook steps = {NoteStep, nullptr};
    SwitchFlow flow;
    StartSwitchFlow(&flow, nullptr, timeoutMs, &steps, NO_REPLY_FORMAT);
    flow.tried = SayRateTried;
    return END_STATUSES[RunSwitchFlow(&flow, port, script, baud)];
}

// Checked in full before anything is opened: a usage error touches no port.
int Switch(const CommandLine* line) {
    if (line->wordCount != 3 || line->verbose || WatchOptionGiven(line)) {
        return UsageError("switch takes PORT MODE [-b RATE] [--reboot-timeout SECONDS]", "");
    }
    const char* port = line->words[1];
    const ModeScript* script = FindModeByName(line->words[2]);
    const char* baudText = BaudTextGiven(line);
    uint32_t baud = FindRateByName(baudText);
    const char* timeoutText = line->rebootTimeoutText;
    unsigned timeoutS = timeoutText != nullptr ? ParseSeconds(timeoutText, REBOOT_TIMEOUT_MAX_S)
                                               : DEFAULT_REBOOT_TIMEOUT_S;
    if (PortNameProblem(port) != 0) {
        return EXIT_USAGE;
    }
    if (script == nullptr) {
        return UsageError("unknown mode: ", line->words[2]);
    }
    if (baud == 0) {
        return UsageError("unknown baud rate: ", baudText);
    }
    if (timeoutS == 0) {
        return UsageErrorWithLimit(
            "the reboot time-out must be 1 to %lu seconds: ", REBOOT_TIMEOUT_MAX_S, timeoutText);
    }
    return RunSwitch(port, script, baud, timeoutS * MS_PER_SECOND);
}

void LogWatchStopped() {
    LogLine(nullptr, "Stopped.");
}

// Checked in full before anything is opened, as a switch is.
// The watch's condition and time-out from the command line; 0, or the
// usage error's status.
int ReadWatchOptions(const CommandLine* line, WatchOptions* options) {
    *options = {UNTIL_NOTHING, 0, line->json};
    for (const UntilName& entry : UNTIL_NAMES) {
        if (line->untilText != nullptr && strcmp(line->untilText, entry.name) == 0) {
            options->until = entry.until;
        }
    }
    if (line->timeoutText != nullptr) {
        options->timeoutS = ParseSeconds(line->timeoutText, WATCH_TIMEOUT_MAX_S);
    }
    if (line->untilText != nullptr && options->until == UNTIL_NOTHING) {
        return UsageError("unknown condition: ", line->untilText);
    }
    if (line->timeoutText != nullptr && options->timeoutS == 0) {
        return UsageErrorWithLimit("the time-out must be 1 to %lu seconds: ", WATCH_TIMEOUT_MAX_S,
                                   line->timeoutText);
    }
    return 0;
}

int WatchCommand(const CommandLine* line) {
    if (line->wordCount != 2 || line->verbose || line->rebootTimeoutText != nullptr) {
        return UsageError("watch takes PORT [-b RATE] [--until COND] [--timeout SECONDS] [--json]",
                          "");
    }
    const char* port = line->words[1];
    const char* baudText = BaudTextGiven(line);
    uint32_t baud = FindRateByName(baudText);
    if (PortNameProblem(port) != 0) {
        return EXIT_USAGE;
    }
    if (baud == 0) {
        return UsageError("unknown baud rate: ", baudText);
    }
    WatchOptions options;
    int problem = ReadWatchOptions(line, &options);
    if (problem != 0) {
        return problem;
    }
    // With --json the lines of the log go apart from the objects.
    g_logSink = line->json ? PrintErrorLine : PrintLogLine;
    EndSwitchOnInterrupt(LogWatchStopped);
    ProbeResult probed;
    if (baud == AUTO_BAUD && (baud = FindRate(port, &probed)) != 0) {
        LogLine(nullptr, MODULE_FOUND_FORMAT, (unsigned long)baud);
    }
    if (baud == 0) {
        LogLine(nullptr, "Failed.");
        return EXIT_FAILED;
    }
    return Watch(port, baud, &options);
}

// The option getopt_long could not take, as the user typed it: a letter
// inside a group (-vx) is told by itself.
const char* BadOption(int option, char** argv) {
    static char letter[3] = "-?";
    if (option == '?' && optopt != 0) {
        letter[1] = (char)optopt;
        return letter;
    }
    return argv[optind - 1];
}

// 0 when the command line reads, else the usage error's status.
int ReadCommandLine(int argc, char** argv, CommandLine* line) {
    memset(line, 0, sizeof *line);
    opterr = 0; // the program says what is wrong in its own words
    for (int option;
         (option = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1;) {
        if (option == 1 && line->wordCount < MAX_WORDS) {
            line->words[line->wordCount++] = optarg;
        } else if (option == 1) {
            return UsageError("too many arguments from: ", optarg);
        } else if (option == 'b' || option == REBOOT_TIMEOUT_OPTION) {
            (option == 'b' ? line->baudText : line->rebootTimeoutText) = optarg;
        } else if (option == UNTIL_OPTION || option == TIMEOUT_OPTION) {
            (option == UNTIL_OPTION ? line->untilText : line->timeoutText) = optarg;
        } else if (option == JSON_OPTION) {
            line->json = true;
        } else if (option == 'h' || option == 'V' || option == 'v') {
            (option == 'h' ? line->help : option == 'V' ? line->version : line->verbose) = true;
        } else {
            return UsageError(option == ':' ? "a value is missing after " : "unknown option: ",
                              BadOption(option, argv));
        }
    }
    // Whatever follows "--".
    for (; optind < argc; ++optind) {
        if (line->wordCount == MAX_WORDS) {
            return UsageError("too many arguments from: ", argv[optind]);
        }
        line->words[line->wordCount++] = argv[optind];
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    CommandLine line;
    int problem = ReadCommandLine(argc, argv, &line);
    if (problem != 0) {
        return problem;
    }
    if (line.help) {
        PrintUsage(stdout);
        return EXIT_DONE;
    }
    if (line.version) {
        puts(VERSION);
        return EXIT_DONE;
    }
    const char* command = line.wordCount > 0 ? line.words[0] : "";
    if (strcmp(command, "switch") == 0) {
        return Switch(&line);
    }
    if (strcmp(command, "list") == 0) {
        return ListPorts(&line);
    }
    if (strcmp(command, "probe") == 0) {
        return Probe(&line);
    }
    if (strcmp(command, "watch") == 0) {
        return WatchCommand(&line);
    }
    return UsageError(line.wordCount == 0 ? "no command" : "unknown command: ", command);
}
