#include "platform/unix/port_holder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const char* const LOCK_FOLDERS[] = {"/run/lock", "/var/lock"};
const size_t LOCK_TEXT_MAX_BYTES = 31; // HDB locks hold the pid as ten digits and a newline
const size_t PROC_PATH_LEN = 64;       // bytes of "/proc/PID/..." paths
const size_t LOCK_PATH_LEN = 320;      // bytes: a lock folder and a port path's name

// A /proc entry's name as a pid; 0 for entries that are not processes.
pid_t ParsePid(const char* name) {
    char* end = nullptr;
    long value = strtol(name, &end, 10);
    bool digits = name[0] >= '1' && name[0] <= '9' && *end == '\0';
    return digits && value > 0 && value <= INT32_MAX ? (pid_t)value : 0;
}

// Whether one of the process's descriptors is the device. statx without
// syncing, so that a descriptor on a network file system whose server has
// gone answers from the cache instead of hanging the open.
bool HasDeviceOpen(pid_t pid, dev_t device) {
    char path[PROC_PATH_LEN];
    snprintf(path, sizeof path, "/proc/%d/fd", (int)pid);
    DIR* fds = opendir(path);
    if (fds == nullptr) {
        return false; // gone, or another user's process
    }
    bool found = false;
    const struct dirent* entry = nullptr;
    while (!found && (entry = readdir(fds)) != nullptr) {
        struct statx target;
        if (entry->d_name[0] == '.' ||
            statx(dirfd(fds), entry->d_name, AT_STATX_DONT_SYNC, STATX_TYPE, &target) != 0) {
            continue;
        }
        found = S_ISCHR(target.stx_mode) &&
                makedev(target.stx_rdev_major, target.stx_rdev_minor) == device;
    }
    closedir(fds);
    return found;
}

// The lock file's name for the device (see the header).
void LockName(const char* devicePath, char* name, size_t size) {
    const char* tail = strncmp(devicePath, "/dev/", 5) == 0 ? devicePath + 5 : nullptr;
    if (tail == nullptr) {
        const char* slash = strrchr(devicePath, '/');
        tail = slash != nullptr ? slash + 1 : devicePath;
    }
    int length = snprintf(name, size, "LCK..%s", tail);
    size_t end = length < 0 ? 0 : ((size_t)length < size ? (size_t)length : size - 1);
    for (size_t i = 5; i < end; ++i) {
        name[i] = name[i] == '/' ? '_' : name[i];
    }
}

// The pid a lock file holds: ten ASCII digits (HDB, the usual form) or a
// binary int (older programs); 0 when there is none. Opened without waiting,
// and read only when it is a plain file: the lock folder is writable by
// everyone, and a FIFO planted there would hang the open.
pid_t ReadLockPid(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[LOCK_TEXT_MAX_BYTES + 1] = "";
    struct stat file;
    ssize_t got =
        fstat(fd, &file) == 0 && S_ISREG(file.st_mode) ? read(fd, text, LOCK_TEXT_MAX_BYTES) : -1;
    close(fd);
    if (got == (ssize_t)sizeof(int) && (text[0] < ' ' || text[0] > '9')) {
        int binary = 0;
        memcpy(&binary, text, sizeof binary);
        return binary > 0 ? (pid_t)binary : 0;
    }
    text[got > 0 ? got : 0] = '\0';
    long value = strtol(text, nullptr, 10);
    return value > 0 && value <= INT32_MAX ? (pid_t)value : 0;
}

bool ProcessAlive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

pid_t FindOpenHolder(dev_t device) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return 0;
    }
    pid_t self = getpid();
    pid_t holder = 0;
    const struct dirent* entry = nullptr;
    while (holder == 0 && (entry = readdir(proc)) != nullptr) {
        pid_t pid = ParsePid(entry->d_name);
        if (pid != 0 && pid != self && HasDeviceOpen(pid, device)) {
            holder = pid;
        }
    }
    closedir(proc);
    return holder;
}

pid_t FindLockHolder(const char* devicePath) {
    char name[PATH_MAX];
    LockName(devicePath, name, sizeof name);
    for (const char* folder : LOCK_FOLDERS) {
        char path[LOCK_PATH_LEN];
        if ((size_t)snprintf(path, sizeof path, "%s/%s", folder, name) >= sizeof path) {
            return 0; // no lock file has so long a name
        }
        pid_t pid = ReadLockPid(path);
        if (pid != 0 && pid != getpid() && ProcessAlive(pid)) {
            return pid;
        }
    }
    return 0;
}

bool ReadProcessName(pid_t pid, char* name, size_t size) {
    char path[PROC_PATH_LEN];
    snprintf(path, sizeof path, "/proc/%d/comm", (int)pid);
    int fd = size > 0 ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        return false;
    }
    ssize_t got = read(fd, name, size - 1);
    close(fd);
    size_t length = got > 0 ? (size_t)got : 0;
    while (length > 0 && name[length - 1] == '\n') {
        --length;
    }
    name[length] = '\0';
    return length > 0;
}
