#include "platform/unix/tty_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "engine/clock.h"
#include "engine/serial_line.h"

namespace {

struct BaudSpeed {
    uint32_t baudRate;
    speed_t speed;
};

const BaudSpeed BAUD_SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
// Some architectures' headers stop at 2000000 baud; there the faster rates
// fail the open like any other rate without a constant.
#ifdef B4000000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

// Raw 8N1 with no flow control of any kind. termios settings outlive the
// program that set them, so every flag that matters is set here: a stale
// hardware flow control would stall every write, and XON/XOFF would take
// those two bytes out of the data and act on them.
void MakeRaw8N1(struct termios* settings) {
    settings->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                     IGNCR | ICRNL | IXON | IXOFF | IXANY);
    settings->c_oflag &= ~(tcflag_t)OPOST;
    settings->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings->c_cflag |= CS8 | CLOCAL | CREAD;
    // A read returns at once with what is there: poll does all the waiting,
    // so no read can outlast its time-out.
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;
}

// What a read may still wait: the rest of its whole time-out and, once a
// byte has come, of the silence that ends it.
uint32_t ReadWaitMs(uint32_t start, uint32_t lastByte, uint32_t got) {
    uint32_t now = TickMs();
    uint32_t elapsed = now - start;
    uint32_t left = elapsed < READ_TIMEOUT_MS ? READ_TIMEOUT_MS - elapsed : 0;
    if (got > 0) {
        uint32_t silent = now - lastByte;
        uint32_t gapLeft = silent < READ_GAP_MS ? READ_GAP_MS - silent : 0;
        left = gapLeft < left ? gapLeft : left;
    }
    return left;
}

// Waits up to waitMs for input and reads what is there: the bytes read, 0
// when none came, -1 when the read is over. A device that has gone answers
// every poll at once, so it ends the read rather than spin until the time-out.
ssize_t ReadAvailable(int fd, char* buffer, size_t size, uint32_t waitMs) {
    struct pollfd entry = {fd, POLLIN, 0};
    int ready = poll(&entry, 1, (int)waitMs);
    if (ready <= 0) {
        return (ready == 0 || errno == EINTR) ? 0 : -1;
    }
    bool gone = (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if ((entry.revents & POLLIN) == 0) {
        return gone ? -1 : 0;
    }
    // What came before a hang-up can still be read; the next poll ends it.
    ssize_t got = read(fd, buffer, size);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return 0;
    }
    return got > 0 ? got : -1;
}

// Waits, up to the write's deadline, until the driver takes more output.
// An error or hang-up counts as ready: the write then reports it.
bool WaitWritable(int fd, uint32_t start) {
    for (;;) {
        uint32_t elapsed = TickMs() - start;
        if (elapsed >= WRITE_TIMEOUT_MS) {
            errno = ETIMEDOUT;
            return false;
        }
        struct pollfd entry = {fd, POLLOUT, 0};
        int ready = poll(&entry, 1, (int)(WRITE_TIMEOUT_MS - elapsed));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace

bool FindSpeed(uint32_t baudRate, speed_t* speed) {
    for (const BaudSpeed& entry : BAUD_SPEEDS) {
        if (entry.baudRate == baudRate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool ApplySpeed(int fd, speed_t speed, bool raw) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    if (raw) {
        MakeRaw8N1(&settings);
    }
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return false;
    }
    // tcsetattr succeeds when any one change was taken: a rate the driver
    // refused shows only in what it reports back.
    struct termios taken;
    if (tcgetattr(fd, &taken) != 0) {
        return false;
    }
    if (cfgetospeed(&taken) != speed) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool ConfigureLine(int fd, speed_t speed) {
    if (!ApplySpeed(fd, speed, true)) {
        return false;
    }
    // A pty has no modem lines and refuses this; the port works without.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    return true;
}

bool SetNonBlocking(int fd, bool nonBlocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

bool WriteAll(int fd, const char* data, size_t length) {
    uint32_t start = TickMs();
    size_t sent = 0;
    while (sent < length) {
        if (!WaitWritable(fd, start)) {
            return false;
        }
        ssize_t written = write(fd, data + sent, length - sent);
        if (written > 0) {
            sent += (size_t)written;
        } else if (written < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

uint32_t ReadTimed(int fd, char* buffer, uint32_t size) {
    uint32_t start = TickMs();
    uint32_t lastByte = start;
    uint32_t got = 0;
    while (got < size) {
        uint32_t waitMs = ReadWaitMs(start, lastByte, got);
        if (waitMs == 0) {
            break;
        }
        ssize_t count = ReadAvailable(fd, buffer + got, size - got, waitMs);
        if (count < 0) {
            break; // a failed read is no reason to stop a drain
        }
        if (count > 0) {
            got += (uint32_t)count;
            lastByte = TickMs();
        }
    }
    return got;
}
