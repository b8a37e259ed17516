#include "platform/unix/port_release.h"

#include <errno.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "engine/clock.h"

namespace {

// The ports this program holds, for ReleaseEveryPort on another thread
// while others may be inside a read, write or wait on them; fd -1 when free.
// A slot is claiming from before it is published until the port's exclusive
// mode is set, so that a release never runs between the two and leaves the
// mode set behind it. Lock-free atomics, so that no thread's release can
// wait on another's lock.
struct HeldPort {
    std::atomic<int> fd;
    std::atomic<bool> claiming;
};
const int MAX_HELD_PORTS = 16;
HeldPort g_heldPorts[MAX_HELD_PORTS] = {
    {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}},
    {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}},
    {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}},
    {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}}, {{-1}, {false}}};
std::atomic<bool> g_abandoned{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the port's release must not wait on a lock");
// A claim is one ioctl; a release waits for it no longer than this.
const uint32_t CLAIM_WAIT_MS = 100;

// Closes handed to threads of their own: each slot holds the descriptor its
// thread is closing, -1 when free. A few, so that ports that never finish
// closing cannot pile threads up; beyond them a close waits as it would.
// The device's number goes with it: an open of a device whose last close is
// still waiting in the kernel waits as long.
struct PendingClose {
    std::atomic<int> fd;
    std::atomic<uint32_t> device; // DeviceCode, 0 for none
};
const int MAX_PENDING_CLOSES = 4;
PendingClose g_pendingCloses[MAX_PENDING_CLOSES] = {
    {{-1}, {0}}, {{-1}, {0}}, {{-1}, {0}}, {{-1}, {0}}};
const uint32_t CLOSE_POLL_MS = 1;

// The kernel's own packing of a device number, which fits a lock-free
// atomic on every architecture; 0 for no character device.
uint32_t DeviceCode(dev_t device) {
    return (major(device) << 20) | (minor(device) & 0xfffff);
}

void* CloseInSlot(void* slot) {
    PendingClose* pending = static_cast<PendingClose*>(slot);
    close(pending->fd.load());
    pending->device.store(0);
    pending->fd.store(-1);
    return nullptr;
}

// Whether the file being closed (null when it could not be told) has left
// this program's table: it is then the closing thread's alone, so that an
// exit interrupts that thread's wait. Its number says nothing once the close
// has freed it, since another thread's open may take it at once: another
// file at that number is a file handed over too.
bool HandedOver(int fd, const struct stat* closing) {
    struct stat now;
    return fstat(fd, &now) != 0 || closing == nullptr || now.st_dev != closing->st_dev ||
           now.st_ino != closing->st_ino || now.st_rdev != closing->st_rdev;
}

// The last close of a port with output queued waits until the driver has
// sent it, up to the driver's closing wait (30 s by default), on a line that
// may never take it: cdc-acm counts what it has handed to USB, which no
// flush takes back. Only a privileged process may shorten that wait
// (TIOCSSERIAL's closing_wait), and the shorter wait would outlive this
// program for every later one. The wait ends on a signal, and so when the
// program exits: the close is made on a thread of its own, and waited for
// up to waitMs and until that thread has taken the descriptor.
void CloseUnwaited(int fd, uint32_t waitMs) {
    struct stat info;
    bool known = fstat(fd, &info) == 0;
    dev_t device = known && S_ISCHR(info.st_mode) ? info.st_rdev : 0;
    for (PendingClose& slot : g_pendingCloses) {
        int free = -1;
        if (!slot.fd.compare_exchange_strong(free, fd)) {
            continue;
        }
        slot.device.store(device != 0 ? DeviceCode(device) : 0);
        pthread_t closer;
        if (pthread_create(&closer, nullptr, CloseInSlot, &slot) != 0) {
            slot.device.store(0);
            slot.fd.store(-1);
            break;
        }
        pthread_detach(closer);
        uint32_t start = TickMs();
        while (slot.fd.load() == fd &&
               (TickMs() - start < waitMs || !HandedOver(fd, known ? &info : nullptr))) {
            WaitMs(CLOSE_POLL_MS);
        }
        return;
    }
    close(fd);
}

// Lets go of a port this program has claimed. Unsent output is thrown away
// first, and the close holds the program up to closeWaitMs at most
// (CloseUnwaited). The exclusive mode outlives the descriptor while the
// device stays (a pty's slave whose master is open) and would shut out the
// next open.
void ReleasePort(int fd, uint32_t closeWaitMs) {
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCNXCL);
    CloseUnwaited(fd, closeWaitMs);
}

// Publishes the descriptor for a release on an interrupt, as claiming; null
// when every slot is taken.
HeldPort* PublishClaim(int fd) {
    for (HeldPort& slot : g_heldPorts) {
        int none = -1;
        // Claiming is set only after the slot is ours, and the program's end
        // is read only after it is set: a release that saw it unset sees the
        // port here, and this claim sees that the program is ending.
        if (slot.fd.compare_exchange_strong(none, fd)) {
            slot.claiming.store(true);
            return &slot;
        }
    }
    return nullptr;
}

// Takes the descriptor out of the table: false when a release on an
// interrupt has taken it already.
bool Unpublish(int fd) {
    for (HeldPort& slot : g_heldPorts) {
        int held = fd;
        if (slot.fd.compare_exchange_strong(held, -1)) {
            return true;
        }
    }
    return false;
}

// Sets the exclusive mode of a port published as claiming, unless the
// program is ending: a release that has begun waits for the claim, and one
// that has not will find the port claimed.
bool SetExclusive(int fd, HeldPort* slot) {
    bool set = !g_abandoned.load() && ioctl(fd, TIOCEXCL) == 0;
    int error = g_abandoned.load() ? EINTR : errno;
    slot->claiming.store(false);
    if (!set) {
        Unpublish(fd);
        errno = error;
    }
    return set;
}

} // namespace

bool ClaimExclusive(int fd) {
    HeldPort* slot = PublishClaim(fd);
    if (slot == nullptr) {
        errno = EMFILE;
        return false;
    }
    return SetExclusive(fd, slot);
}

void ReleaseClaimed(int fd) {
    // Without the table's word, a port not held is still released, unless
    // the program is ending and the release may have closed it.
    if (Unpublish(fd) || !g_abandoned.load()) {
        ReleasePort(fd, CLOSE_WAIT_MS);
    }
}

void CloseUnclaimed(int fd) {
    if (!g_abandoned.load()) {
        close(fd);
    }
}

bool StillClosing(dev_t device) {
    uint32_t code = DeviceCode(device);
    for (PendingClose& slot : g_pendingCloses) {
        if (code != 0 && slot.device.load() == code) {
            return true;
        }
    }
    return false;
}

void ReleaseEveryPort() {
    g_abandoned.store(true);
    for (HeldPort& slot : g_heldPorts) {
        uint32_t start = TickMs();
        while (slot.claiming.load() && TickMs() - start < CLAIM_WAIT_MS) {
            WaitMs(CLOSE_POLL_MS);
        }
        int fd = slot.fd.exchange(-1);
        if (fd >= 0) {
            // The program ends next, and its end ends the close's wait.
            ReleasePort(fd, 0);
        }
    }
}
