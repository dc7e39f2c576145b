#pragma once

#include <cstddef>
#include <cstdint>

// Kept free of <windows.h>, which every file including the platform headers
// would otherwise get with all its macros; the .cpp files that talk to the
// system check these against the real declarations.
namespace kelmor::platform {

// A fault is described by the EXCEPTION_RECORD and the x86 CONTEXT.
inline constexpr std::size_t kFaultRecordSize = 80;
inline constexpr std::size_t kFaultContextSize = 716;

// Windows file names ignore case, so a file port can take the upper-cased text.
inline constexpr bool kFileNamesIgnoreCase = true;

// An open serial line: a HANDLE; INVALID_HANDLE_VALUE (all bits set) means none.
using CommHandle = void*;
inline const CommHandle kInvalidCommHandle = reinterpret_cast<CommHandle>(~std::uintptr_t{0});

// A socket: a SOCKET; INVALID_SOCKET (all bits set) means none.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

}  // namespace kelmor::platform
