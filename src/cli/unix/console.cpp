#include "cli/console.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "engine/serial_port.h"

namespace {

// How long the line may take before the program ends without it.
const long INTERRUPT_LINE_WAIT_NS = 80L * 1000000L;

// Set by the switch's thread, read by the one that says the line.
std::atomic<InterruptedLine> g_logInterrupted{nullptr};
std::atomic<bool> g_ending{false};
int g_interruptStatus = EXIT_INTERRUPTED;
sigset_t g_interrupts;

// Both threads may come here; the port is released once either way.
[[noreturn]] void EndInterrupted() {
    g_ending.store(true);
    AbandonSerialPort();
    _exit(g_interruptStatus);
}

// The thread that says the switch was interrupted; here it also ends the
// program.
void* SayInterrupted(void*) {
    g_logInterrupted.load()();
    EndInterrupted();
}

// Waits with the interrupts blocked in every thread, so that neither the
// switch's waits nor its system calls see them: the program ends here, in
// one place, however far the switch has come.
void* WaitForInterrupt(void*) {
    int signal = 0;
    if (sigwait(&g_interrupts, &signal) != 0) {
        return nullptr;
    }
    g_interruptStatus = signal == SIGINT ? EXIT_INTERRUPTED : EXIT_TERMINATED;
    pthread_t sayer;
    if (pthread_create(&sayer, nullptr, SayInterrupted, nullptr) == 0) {
        // A second interrupt ends the wait at once.
        struct timespec wait = {0, INTERRUPT_LINE_WAIT_NS};
        sigtimedwait(&g_interrupts, nullptr, &wait);
    }
    EndInterrupted();
}

} // namespace

void PrepareConsole() {
    // Lines that can no longer be written are dropped (EIO, EPIPE) instead.
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}

bool EndingOnInterrupt() {
    return g_ending.load();
}

void EndSwitchOnInterrupt(InterruptedLine logInterrupted) {
    if (g_logInterrupted.exchange(logInterrupted) != nullptr) {
        return;
    }
    sigemptyset(&g_interrupts);
    sigaddset(&g_interrupts, SIGINT);
    sigaddset(&g_interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &g_interrupts, nullptr);
    pthread_t waiter;
    if (pthread_create(&waiter, nullptr, WaitForInterrupt, nullptr) != 0) {
        // Without the thread an interrupt still ends the program, silently.
        pthread_sigmask(SIG_UNBLOCK, &g_interrupts, nullptr);
        return;
    }
    pthread_detach(waiter);
}
