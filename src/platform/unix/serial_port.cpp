// The serial port on Linux: a terminal device held by this program alone,
// opened only once it is known to be the device the run expects (the line
// itself is tty_line's, its release port_release's).
#include "engine/serial_port.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "engine/log_line.h"
#include "engine/clock.h"
#include "engine/serial_line.h"
#include "platform/unix/port_holder.h"
#include "platform/unix/port_listing.h"
#include "platform/unix/port_release.h"
#include "platform/unix/tty_line.h"

namespace {

int Descriptor(SerialPort port) {
    return (int)port;
}

// Closes a port that could not be claimed or configured without losing the
// reason: the close may overwrite errno, and the log must name the real
// cause. A port that another program holds is only closed: its queues and
// its exclusive mode are the holder's.
SerialPort FailOpen(int fd, bool claimed) {
    int error = errno;
    if (claimed) {
        ReleaseClaimed(fd);
    } else {
        CloseUnclaimed(fd);
    }
    errno = error;
    return NO_PORT;
}

// Whether another program has put the port in exclusive mode. Kernels before
// 3.8 and qemu-user cannot tell (ENOSYS, ENOTTY or EINVAL): the other checks
// then stand alone.
bool ExclusiveModeSet(int fd) {
    int exclusive = 0;
    return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// Takes the port for this program alone, as Windows opens a port only when no
// one else has it open. Fails with EBUSY when another process has the device
// open or in exclusive mode (errno 11 when it holds the lock), leaving the
// holder's queues, settings and exclusive mode as they were: the exclusive
// mode is set only once every check has passed, so a refusal never clears it.
bool ClaimPort(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    struct stat device;
    if (fstat(fd, &device) != 0) {
        return false;
    }
    if (ExclusiveModeSet(fd) || (S_ISCHR(device.st_mode) && FindOpenHolder(device.st_rdev) != 0)) {
        errno = EBUSY;
        return false;
    }
    return ClaimExclusive(fd);
}

// Whether a live UUCP lock names the port. Checked before the open, since
// the lock's owner may not have opened the port yet, and a first open raises
// the modem lines, which resets some boards.
bool LockedByAnother(const char* portName) {
    char device[PATH_MAX];
    if (realpath(portName, device) == nullptr) {
        return false; // the open says why
    }
    return FindLockHolder(device) != 0;
}

// Whether the run may open what the name leads to now: anything at a first
// open; at a reopen (with the run's module) only the module, and only once
// no close of it is waiting in the kernel. Nothing is opened here.
bool MayOpen(const char* portName, PortModule* reopen, PortIdentity* now) {
    if (!ReadPortIdentity(&SYSTEM_LISTING_ROOTS, portName, now)) {
        return false;
    }
    if (reopen != nullptr && !SameModule(&reopen->first, now)) {
        reopen->refused = *now;
        // No longer than PORT_PATH_MAX_LEN, which OpenChecked has seen.
        memcpy(reopen->refusedName, portName, strlen(portName) + 1);
        errno = ENXIO; // as for a module not back yet: it may still come
        return false;
    }
    if (reopen != nullptr && StillClosing(now->device)) {
        errno = EBUSY;
        return false;
    }
    return true;
}

// Whether the open port is the device that was looked at before the open:
// its number, and what sysfs says of the device by that number now. The name
// may have passed to another device in between, and a number freed by a
// device that left may be given to the next one.
bool StillTheDevice(int fd, const PortIdentity* looked) {
    struct stat opened;
    if (fstat(fd, &opened) != 0) {
        return false;
    }
    if (!S_ISCHR(opened.st_mode)) {
        return looked->device == 0;
    }
    PortIdentity now;
    return opened.st_rdev == looked->device &&
           ReadDeviceIdentity(&SYSTEM_LISTING_ROOTS, opened.st_rdev, &now) &&
           SameModule(looked, &now) && now.usb == looked->usb;
}

// Claims, configures and settles the open port, as an open does on Windows.
SerialPort SetUpPort(int fd, speed_t speed) {
    if (!ClaimPort(fd)) {
        return FailOpen(fd, false);
    }
    if (!ConfigureLine(fd, speed) || !SetNonBlocking(fd, false)) {
        return FailOpen(fd, true);
    }
    WaitMs(OPEN_SETTLE_MS);
    // Whatever the module said before now belongs to no sentence of ours.
    tcflush(fd, TCIOFLUSH);
    return (SerialPort)fd;
}

// Opens the port when MayOpen allows, and claims it only when the descriptor
// is still that device: the name may have passed to another between the look
// and the open, and such a device is let go untouched. The device opened is
// noted as the run's module when first is given.
SerialPort OpenChecked(const char* portName, uint32_t baudRate, PortModule* reopen,
                       PortModule* first) {
    speed_t speed = B0;
    if (strnlen(portName, PORT_PATH_MAX_LEN + 1) > PORT_PATH_MAX_LEN) {
        errno = ENAMETOOLONG;
        return NO_PORT;
    }
    if (!FindSpeed(baudRate, &speed)) {
        errno = EINVAL;
        return NO_PORT;
    }
    // A port another program holds fails at once, as Access denied does on
    // Windows, with nothing written to it.
    PortIdentity now;
    if (LockedByAnother(portName)) {
        errno = EBUSY;
        return NO_PORT;
    }
    if (!MayOpen(portName, reopen, &now)) {
        return NO_PORT;
    }
    // Non-blocking, so that the open cannot hang waiting on a modem line.
    int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return NO_PORT; // EBUSY: another program holds the exclusive mode
    }
    if (!StillTheDevice(fd, &now)) {
        errno = ENXIO;
        return FailOpen(fd, false);
    }
    SerialPort port = SetUpPort(fd, speed);
    if (port != NO_PORT && first != nullptr) {
        first->first = now;
        first->refusedName[0] = '\0';
    }
    return port;
}

} // namespace

SerialPort OpenSerialPort(const char* portName, uint32_t baudRate) {
    return OpenChecked(portName, baudRate, nullptr, nullptr);
}

SerialPort OpenModulePort(PortModule* module, const char* portName, uint32_t baudRate) {
    return OpenChecked(portName, baudRate, nullptr, module);
}

SerialPort ReopenSerialPort(PortModule* module, const char* portName, uint32_t baudRate) {
    module->refusedName[0] = '\0';
    return OpenChecked(portName, baudRate, module, nullptr);
}

int SetSerialRate(SerialPort port, uint32_t baudRate) {
    speed_t speed = B0;
    if (!FindSpeed(baudRate, &speed)) {
        errno = EINVAL;
        return 0;
    }
    int fd = Descriptor(port);
    if (!ApplySpeed(fd, speed, false)) {
        return 0;
    }
    // What came at the old rate is no message at the new one.
    tcflush(fd, TCIOFLUSH);
    return 1;
}

int WriteSentence(SerialPort port, const char* sentence) {
    char line[SENTENCE_LINE_LEN];
    size_t length = FrameSentence(sentence, line, sizeof line);
    // A blocking write waits for the driver to take its last byte however
    // long that takes; this one is made non-blocking so poll keeps the time.
    int fd = Descriptor(port);
    if (!SetNonBlocking(fd, true)) {
        return 0;
    }
    bool written = WriteAll(fd, line, length);
    int error = errno;
    SetNonBlocking(fd, false);
    errno = error;
    return written ? 1 : 0;
}

uint32_t ReadSerialChunk(SerialPort port, char* buffer, uint32_t size) {
    return ReadTimed(Descriptor(port), buffer, size);
}

uint32_t ReadSerialGathered(SerialPort port, char* buffer, uint32_t size, uint32_t gatherMs) {
    struct pollfd entry = {Descriptor(port), POLLIN, 0};
    if (poll(&entry, 1, (int)READ_TIMEOUT_MS) <= 0 || (entry.revents & POLLIN) == 0) {
        return 0; // nothing, or a device gone: SerialDeviceGone tells which
    }
    struct timespec gather = {(time_t)(gatherMs / 1000), (long)(gatherMs % 1000) * 1000000L};
    while (nanosleep(&gather, &gather) != 0 && errno == EINTR) {
    }
    ssize_t count = read(Descriptor(port), buffer, size);
    return count > 0 ? (uint32_t)count : 0;
}

int SerialDeviceGone(SerialPort port) {
    // A module that drops off the bus, or a pty whose other side closed,
    // leaves a hung-up terminal that reports itself ready for ever.
    struct pollfd entry = {Descriptor(port), POLLIN, 0};
    if (poll(&entry, 1, 0) <= 0) {
        return 0;
    }
    return (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void CloseSerialPort(SerialPort port) {
    if (port == NO_PORT) {
        return;
    }
    ReleaseClaimed(Descriptor(port));
}

int OpenMayRecover() {
    // Gone or not yet there, not yet given to the dialout group by udev, or
    // held a moment by a program that probes new ports.
    return errno == ENOENT || errno == ENODEV || errno == ENXIO || errno == EACCES ||
           errno == EBUSY || errno == EAGAIN;
}

int OpenRefusedBusy() {
    // EAGAIN: the lock another program holds.
    return errno == EBUSY || errno == EAGAIN;
}

int FindMovedPort(void* owner, const PortModule* module, const char* portName, char* found,
                  size_t size) {
    int error = errno;
    char first[PORT_PATH_MAX_LEN + 1];
    char second[PORT_PATH_MAX_LEN + 1];
    int moved =
        LocateModule(&SYSTEM_LISTING_ROOTS, &module->first, portName, first, second, sizeof first);
    if (moved < 0) {
        LogLine(owner, "Both %s and %s are the module's device; neither is used.", first, second);
    } else if (moved > 0 && strlen(first) < size) {
        memcpy(found, first, strlen(first) + 1);
    } else {
        moved = 0;
    }
    errno = error;
    return moved;
}

int LogNotTheModule(void* owner, const PortModule* module, const char* portName) {
    if (module->refusedName[0] == '\0' || strcmp(portName, module->refusedName) != 0) {
        return 0;
    }
    char first[300];
    char other[300];
    DescribeDifference(&module->first, &module->refused, first, other, sizeof first);
    LogLine(owner, "%s is now another device (%s); the module (%s) did not come back.", portName,
            other, first);
    return 1;
}

void LogPortHolder(void* owner, const char* portName) {
    int error = errno;
    char device[PATH_MAX];
    struct stat status;
    pid_t holder = 0;
    if (realpath(portName, device) != nullptr && stat(device, &status) == 0) {
        holder = S_ISCHR(status.st_mode) ? FindOpenHolder(status.st_rdev) : 0;
        holder = holder != 0 ? holder : FindLockHolder(device);
    }
    char name[32];
    if (holder != 0 && ReadProcessName(holder, name, sizeof name)) {
        LogLine(owner, "Port held by %s (pid %d).", name, (int)holder);
    }
    errno = error;
}

void AbandonSerialPort() {
    ReleaseEveryPort();
}
