#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"

namespace kelmor::platform {

// Whole texts only, so a debugger sees one line per call from each port task.
void DebugOutput(const char* text) { OutputDebugStringA(text); }

}  // namespace kelmor::platform
