// The few things kelmor-host asks of the operating system.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kelmor::host {

// The folder the running executable lives in, with a trailing separator.
std::string ExecutableFolder();

// The file name of the port library on this platform.
extern const char* const kLibraryFileName;

// Loads a library and finds one exported function; null with error set when
// either fails.
void* LoadExport(const std::string& library, const char* name, std::string& error);

void SetProcessEnv(const std::string& name, const std::string& value);

// What stands behind "COMn:" on this machine, as the serial device opens it.
std::string SerialLinePath(int comNumber);

// Whether the folder a file path names exists ("" and "." count as existing).
bool FolderExists(const std::string& filePath);

// Makes WaitForStop return, from any thread.
void RequestStop();

// Prepares the process before any task thread starts: stop requests (Ctrl-C,
// SIGINT, SIGTERM) reach only WaitForStop, and a write to a vanished peer
// does not kill the process.
void PrepareProcess();

// Returns on a stop request, or once the given number of seconds has passed.
void WaitForStop(std::optional<double> seconds);

// From now on the library's debugger output goes to onText, one text at a
// time, until StopDebugCapture.
void StartDebugCapture(std::function<void(const std::string&)> onText);
void StopDebugCapture();

// Ends the process at once, without running destructors.
[[noreturn]] void ExitNow(int code);

}  // namespace kelmor::host
