// Serial lines over termios. "COMn:" is the tty named by the environment
// variable KELMOR_COMn, or /dev/ttyS<n-1> when that is not set.
#include "platform/comm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelmor::platform {
namespace {

constexpr size_t kPathSize = 256;

// "COM2:" gives 2; anything not of that form gives 0.
int LineNumber(const char* lineName) {
    if (std::strncmp(lineName, "COM", 3) != 0) {
        return 0;
    }
    char* end = nullptr;
    const long number = std::strtol(lineName + 3, &end, 10);
    if (end == lineName + 3 || std::strcmp(end, ":") != 0 || number < 1 || number > 99) {
        return 0;
    }
    return static_cast<int>(number);
}

bool LinePath(const char* lineName, char (&path)[kPathSize]) {
    const int number = LineNumber(lineName);
    if (number == 0) {
        return false;
    }
    char variable[32];
    std::snprintf(variable, sizeof variable, "KELMOR_COM%d", number);
    const char* configured = std::getenv(variable);
    const int length = configured != nullptr && configured[0] != '\0'
                           ? std::snprintf(path, sizeof path, "%s", configured)
                           : std::snprintf(path, sizeof path, "/dev/ttyS%d", number - 1);
    return length > 0 && static_cast<size_t>(length) < sizeof path;
}

struct Speed {
    uint32_t baud;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

void SetSpeed(termios& line, uint32_t baud) {
    for (const Speed& speed : kSpeeds) {
        if (speed.baud == baud) {
            cfsetispeed(&line, speed.code);
            cfsetospeed(&line, speed.code);
        }
    }
}

tcflag_t CharacterSize(uint8_t bits) {
    switch (bits) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

void SetFlag(tcflag_t& flags, tcflag_t flag, bool on) {
    flags = on ? (flags | flag) : (flags & ~flag);
}

}  // namespace

CommHandle OpenCommLine(const char* lineName) {
    char path[kPathSize];
    if (!LinePath(lineName, path)) {
        return kInvalidCommHandle;
    }
    // Not blocking, so that a line without carrier does not hold up the open.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kInvalidCommHandle;
    }
    // The lock keeps out a second open from this process or another, root's
    // included; TIOCEXCL keeps out programs that do not lock.
    if (isatty(fd) == 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        close(fd);
        return kInvalidCommHandle;
    }
    // Writes wait while the line holds them back, as on a real port.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void SetModemLine(CommHandle handle, ModemLine line, bool raised) {
    int bits = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
    ioctl(handle, raised ? TIOCMBIS : TIOCMBIC, &bits);  // a pty has no modem lines
}

void ConfigureCommLine(CommHandle handle, const CommLineSettings& settings) {
    termios line{};
    if (tcgetattr(handle, &line) != 0) {
        return;
    }
    SetSpeed(line, settings.baudRate);
    if (settings.binary) {
        line.c_iflag &= ~(IGNBRK | BRKINT | ISTRIP | INLCR | IGNCR | ICRNL);
        line.c_oflag &= ~OPOST;
        line.c_lflag &= ~(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    }
    line.c_cflag = (line.c_cflag & ~CSIZE) | CharacterSize(settings.byteSize);
    SetFlag(line.c_cflag, PARENB, settings.parity != CommParity::None);
    SetFlag(line.c_cflag, PARODD, settings.parity == CommParity::Odd);
    SetFlag(line.c_cflag, CSTOPB, settings.stopBits == CommStopBits::Two);
    SetFlag(line.c_iflag, INPCK, settings.checkParity);
    SetFlag(line.c_iflag, PARMRK, settings.replaceErrorBytes);
    SetFlag(line.c_cflag, CRTSCTS, settings.outputHeldByCts);
    SetFlag(line.c_iflag, IXON, settings.outputXonXoff);
    SetFlag(line.c_iflag, IXANY, false);  // only XON resumes output
    SetFlag(line.c_iflag, IXOFF, settings.inputXonXoff);
    line.c_cc[VSTART] = settings.xonChar;
    line.c_cc[VSTOP] = settings.xoffChar;
    // A Windows port never hangs up on lost carrier and always receives;
    // CLOCAL and CREAD make a tty do the same. A tty has no DSR flow control,
    // never drops NUL, has no error abort and keeps sending after its own
    // XOFF, so those settings need nothing; DTR and RTS are raised by the
    // caller after the set-up.
    line.c_cflag |= CLOCAL | CREAD;
    tcsetattr(handle, TCSANOW, &line);
}

void SetReadsReturnAtOnce(CommHandle handle) {
    termios line{};
    if (tcgetattr(handle, &line) != 0) {
        return;
    }
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    tcsetattr(handle, TCSANOW, &line);
}

// A tty keeps no error state that could stall reads: with parity checking on
// and no marking, a byte that arrived with a line error is read as NUL.
void ClearCommErrors(CommHandle) {}

bool ReadComm(CommHandle handle, uint8_t* buffer, uint32_t size, uint32_t* received) {
    *received = 0;
    const ssize_t got = read(handle, buffer, size);
    if (got < 0) {
        return false;
    }
    *received = static_cast<uint32_t>(got);
    return true;
}

void WriteComm(CommHandle handle, const uint8_t* data, uint32_t length) {
    while (length > 0) {
        const ssize_t put = write(handle, data, length);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return;
        }
        data += put;
        length -= static_cast<uint32_t>(put);
    }
}

void CloseCommLine(CommHandle handle) {
    if (handle == kInvalidCommHandle) {
        return;
    }
    // Leaving exclusive mode lets the next user of a tty that stays open
    // elsewhere (a pty's other side) open it again.
    ioctl(handle, TIOCNXCL);
    close(handle);
}

}  // namespace kelmor::platform
