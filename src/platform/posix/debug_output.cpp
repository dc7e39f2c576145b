#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "platform/platform.h"

namespace kelmor::platform {

// Standard error stands in for the debugger output. One write(2) per text, so
// lines from several port tasks never interleave mid-line.
void DebugOutput(const char* text) {
    const size_t length = std::strlen(text);
    while (::write(STDERR_FILENO, text, length) < 0 && errno == EINTR) {
    }
}

}  // namespace kelmor::platform
