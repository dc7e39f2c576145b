// kelmor-host on Windows. The library's debugger output (OutputDebugStringA)
// is taken the way a debug-output viewer takes it, from the DBWIN_BUFFER
// section with its two events, and printed on standard error like the log
// lines of the Linux build; with --json it goes to the event log instead.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "host_platform.h"

namespace kelmor::host {
namespace {

HANDLE StopEvent() {
    // Manual reset: once asked, every later wait returns at once too.
    static const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return stop;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    SetEvent(StopEvent());
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    // Closing the console ends the process once this returns: give the
    // tasks their dismount first; the process's own exit ends this wait.
    Sleep(4000);
    return TRUE;
}

std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = "error " + std::to_string(error);
    if (length > 0 && text != nullptr) {
        std::string described(text, length);
        while (!described.empty() && (described.back() == '\n' || described.back() == '\r')) {
            described.pop_back();
        }
        message += " (" + described + ")";
    }
    LocalFree(text);
    return message;
}

// The viewer's side of the debugger output: the system's OutputDebugStringA
// waits for BUFFER_READY, writes its process id and text into the section
// and sets DATA_READY. Only one viewer can hold these names at a time.
struct DebugViewer {
    struct Section {
        DWORD processId;
        char text[4096 - sizeof(DWORD)];
    };

    std::mutex mutex;  // guards onText
    std::function<void(const std::string&)> onText;
    HANDLE bufferReady = nullptr;
    HANDLE dataReady = nullptr;
    HANDLE mapping = nullptr;
    const Section* section = nullptr;
    std::atomic<bool> stopping{false};
    std::thread reader;

    bool Open() {
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Section),
                                     "DBWIN_BUFFER");
        if (mapping == nullptr) {
            return false;
        }
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            std::fprintf(stderr, "[host] another program shows the debugger output; look there for it\n");
            Close();
            return false;
        }
        bufferReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
        dataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
        section = static_cast<const Section*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        if (bufferReady == nullptr || dataReady == nullptr || section == nullptr) {
            Close();
            return false;
        }
        return true;
    }

    void Close() {
        if (section != nullptr) {
            UnmapViewOfFile(section);
            section = nullptr;
        }
        for (HANDLE* handle : {&bufferReady, &dataReady, &mapping}) {
            if (*handle != nullptr) {
                CloseHandle(*handle);
                *handle = nullptr;
            }
        }
    }

    void Deliver(const std::string& text) {
        std::lock_guard lock(mutex);
        if (onText) {
            onText(text);
        } else {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        }
    }

    void Read() {
        const DWORD self = GetCurrentProcessId();
        SetEvent(bufferReady);
        while (!stopping.load()) {
            if (WaitForSingleObject(dataReady, 100) != WAIT_OBJECT_0) {
                continue;
            }
            const std::string text(section->text, strnlen(section->text, sizeof section->text));
            const DWORD from = section->processId;
            SetEvent(bufferReady);
            // Other programs of the session write here too; theirs get a tag.
            Deliver(from == self ? text : "[process " + std::to_string(from) + "] " + text);
        }
    }

    void Start() {
        if (reader.joinable() || !Open()) {
            return;
        }
        stopping = false;
        reader = std::thread([this] { Read(); });
    }

    void Stop() {
        if (!reader.joinable()) {
            return;
        }
        stopping = true;
        reader.join();
        Close();
    }
};

DebugViewer viewer;

}  // namespace

const char* const kLibraryFileName = "kelmor.dll";

std::string ExecutableFolder() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) {
        return ".\\";
    }
    const std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

void* LoadExport(const std::string& library, const char* name, std::string& error) {
    HMODULE module = LoadLibraryA(library.c_str());
    if (module == nullptr) {
        error = "cannot load " + library + ": " + ErrorText(GetLastError());
        return nullptr;
    }
    auto* symbol = reinterpret_cast<void*>(GetProcAddress(module, name));
    if (symbol == nullptr) {
        error = library + " has no " + name;
    }
    return symbol;
}

void SetProcessEnv(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

std::string SerialLinePath(int comNumber) { return "COM" + std::to_string(comNumber) + ":"; }

bool FolderExists(const std::string& filePath) {
    const auto separator = filePath.find_last_of("\\/");
    std::string folder;
    if (separator == std::string::npos) {
        if (filePath.size() >= 2 && filePath[1] == ':') {
            folder = filePath.substr(0, 2) + ".";  // "C:name": the drive's current folder
        } else {
            return true;
        }
    } else if (separator == 0 || (separator == 2 && filePath[1] == ':')) {
        folder = filePath.substr(0, separator + 1);  // a root: "\" or "C:\"
    } else {
        folder = filePath.substr(0, separator);
    }
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void RequestStop() { SetEvent(StopEvent()); }

void PrepareProcess() {
    StopEvent();
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    viewer.Start();
}

void WaitForStop(std::optional<double> seconds) {
    const DWORD limit = seconds ? static_cast<DWORD>(*seconds * 1000.0) : INFINITE;
    WaitForSingleObject(StopEvent(), limit);
}

void StartDebugCapture(std::function<void(const std::string&)> onText) {
    {
        std::lock_guard lock(viewer.mutex);
        viewer.onText = std::move(onText);
    }
    viewer.Start();
}

void StopDebugCapture() { viewer.Stop(); }

void ExitNow(int code) {
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));  // not reached
}

}  // namespace kelmor::host
