// Linked into every Windows test program: each text the program gives to
// OutputDebugStringA is also written to standard error, on the calling
// thread before the call returns, the way a debugger receives it. Tests
// that read the debugger output as standard error on Linux read it the same
// way here. The handler only watches; every exception goes on as before.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <io.h>

namespace {

LONG CALLBACK CopyDebugOutput(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        const auto length = static_cast<unsigned>(record->ExceptionInformation[0]);  // with its terminator
        const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        if (text != nullptr && length > 1) {
            _write(2, text, length - 1);
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

[[maybe_unused]] const bool installed = AddVectoredExceptionHandler(1, &CopyDebugOutput) != nullptr;

}  // namespace
