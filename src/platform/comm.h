// The serial-line calls a serial port device needs, one per step it takes.
// Each platform folder implements them in its comm.cpp (win32: the Windows
// communications functions; posix: termios). None reports a failure except
// where a result is declared; a call on kInvalidCommHandle does nothing.
#pragma once

#include <cstdint>

#include "platform_traits.h"

namespace kelmor::platform {

enum class CommParity : uint8_t { None, Odd, Even };
enum class CommStopBits : uint8_t { One, Two };
enum class ModemLine : uint8_t { Dtr, Rts };

// The line settings a device asks for. ConfigureCommLine reads the line's
// current settings, changes what these name and writes them back; anything
// else keeps what the line had. Where a platform has no equivalent for a
// setting it behaves as the setting asks anyway or ignores it.
struct CommLineSettings {
    uint32_t baudRate;
    uint8_t byteSize;          // data bits
    CommParity parity;
    CommStopBits stopBits;
    bool binary;               // raw bytes: no line editing, echo or translation
    bool checkParity;          // input parity checking switched on
    bool outputHeldByCts;
    bool outputHeldByDsr;
    bool dtrOnWhileOpen;
    bool rtsOnWhileOpen;
    bool inputGatedByDsr;
    bool sendOnAfterXoff;      // sending goes on after the port itself sent XOFF
    bool outputXonXoff;        // output stops on XOFF, resumes on XON
    bool inputXonXoff;         // the port sends XOFF/XON as its input fills/empties
    bool replaceErrorBytes;
    bool discardNul;
    bool abortOnError;
    uint8_t xonChar;
    uint8_t xoffChar;
};

// Opens "COM1:".."COM4:" for reading and writing, only if the line exists and
// nobody else (this process included) has it open; kInvalidCommHandle if not.
CommHandle OpenCommLine(const char* lineName);

void SetModemLine(CommHandle handle, ModemLine line, bool raised);

void ConfigureCommLine(CommHandle handle, const CommLineSettings& settings);

// From now on a read returns at once with what has already arrived, even
// nothing; write time-outs stay as the line had them.
void SetReadsReturnAtOnce(CommHandle handle);

// Clears the line's error state so that a line error cannot stall reads.
void ClearCommErrors(CommHandle handle);

// Reads up to size bytes that have already arrived; false when the read
// failed. *received is set in every case.
bool ReadComm(CommHandle handle, uint8_t* buffer, uint32_t size, uint32_t* received);

// Writes all length bytes, waiting as long as the line holds them back.
void WriteComm(CommHandle handle, const uint8_t* data, uint32_t length);

void CloseCommLine(CommHandle handle);

}  // namespace kelmor::platform
