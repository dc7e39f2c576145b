// Serial lines over the Windows communications functions.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <type_traits>

#include "platform/comm.h"

namespace kelmor::platform {

static_assert(std::is_same_v<CommHandle, HANDLE>);
// The device control block as the port's driver knows it, length field included.
static_assert(sizeof(DCB) == 28);

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;  // 0xC0000000
static_assert(kReadWrite == 0xC0000000);

BYTE ParityCode(CommParity parity) {
    switch (parity) {
        case CommParity::Odd: return ODDPARITY;
        case CommParity::Even: return EVENPARITY;
        case CommParity::None: break;
    }
    return NOPARITY;
}

}  // namespace

// Unshared, so a line another port task or program holds fails to open here.
CommHandle OpenCommLine(const char* lineName) {
    return CreateFileA(lineName, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void SetModemLine(CommHandle handle, ModemLine line, bool raised) {
    DWORD function = 0;
    if (line == ModemLine::Dtr) {
        function = raised ? SETDTR : CLRDTR;
    } else {
        function = raised ? SETRTS : CLRRTS;
    }
    EscapeCommFunction(handle, function);
}

void ConfigureCommLine(CommHandle handle, const CommLineSettings& settings) {
    DCB line{};
    line.DCBlength = sizeof line;
    GetCommState(handle, &line);
    line.BaudRate = settings.baudRate;
    line.fBinary = settings.binary ? 1 : 0;
    line.fParity = settings.checkParity ? 1 : 0;
    line.fOutxCtsFlow = settings.outputHeldByCts ? 1 : 0;
    line.fOutxDsrFlow = settings.outputHeldByDsr ? 1 : 0;
    line.fDtrControl = settings.dtrOnWhileOpen ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    line.fDsrSensitivity = settings.inputGatedByDsr ? 1 : 0;
    line.fTXContinueOnXoff = settings.sendOnAfterXoff ? 1 : 0;
    line.fOutX = settings.outputXonXoff ? 1 : 0;
    line.fInX = settings.inputXonXoff ? 1 : 0;
    line.fErrorChar = settings.replaceErrorBytes ? 1 : 0;
    line.fNull = settings.discardNul ? 1 : 0;
    line.fRtsControl = settings.rtsOnWhileOpen ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    line.fAbortOnError = settings.abortOnError ? 1 : 0;
    line.ByteSize = settings.byteSize;
    line.Parity = ParityCode(settings.parity);
    line.StopBits = settings.stopBits == CommStopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    line.XonChar = static_cast<char>(settings.xonChar);
    line.XoffChar = static_cast<char>(settings.xoffChar);
    SetCommState(handle, &line);
}

// The largest interval with no total time-out is the one setting under which
// a read returns at once with what has arrived; all three at 0 would mean
// no time-out at all, a read waiting for its bytes.
void SetReadsReturnAtOnce(CommHandle handle) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(handle, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    SetCommTimeouts(handle, &timeouts);
}

void ClearCommErrors(CommHandle handle) {
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(handle, &errors, &status);
}

bool ReadComm(CommHandle handle, uint8_t* buffer, uint32_t size, uint32_t* received) {
    DWORD got = 0;
    const bool read = ReadFile(handle, buffer, size, &got, nullptr) != FALSE;
    *received = read ? got : 0;
    return read;
}

// One WriteFile normally takes everything; a write time-out the line was set
// to ends the write where it stopped.
void WriteComm(CommHandle handle, const uint8_t* data, uint32_t length) {
    while (length > 0) {
        DWORD written = 0;
        if (WriteFile(handle, data, length, &written, nullptr) == FALSE || written == 0) {
            return;
        }
        data += written;
        length -= written;
    }
}

void CloseCommLine(CommHandle handle) {
    // The invalid value is also the process's own pseudo handle; leave it be.
    if (handle != kInvalidCommHandle) {
        CloseHandle(handle);
    }
}

}  // namespace kelmor::platform
