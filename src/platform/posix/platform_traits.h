#pragma once

#include <csignal>
#include <cstddef>
#include <ucontext.h>

namespace kelmor::platform {

// A fault is described by the signal's siginfo_t and the interrupted ucontext_t.
inline constexpr std::size_t kFaultRecordSize = sizeof(siginfo_t);
inline constexpr std::size_t kFaultContextSize = sizeof(ucontext_t);

// File names differ by case here, so a file port keeps the path as configured.
inline constexpr bool kFileNamesIgnoreCase = false;

}  // namespace kelmor::platform

namespace kelmor::platform {

// An open serial line: a file descriptor; all bits set means none.
using CommHandle = int;
inline constexpr CommHandle kInvalidCommHandle = -1;

// A socket: a file descriptor; all bits set means none.
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

}  // namespace kelmor::platform
