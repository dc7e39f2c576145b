#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"

namespace kelmor::platform {

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace kelmor::platform
