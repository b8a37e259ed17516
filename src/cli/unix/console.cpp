#include "cli/console.h"

#include <signal.h>

void PrepareConsole() {
    // Lines that can no longer be written are dropped (EIO, EPIPE) instead.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}
