# Cross build of the 32-bit Windows library, runtime, host and tests with
# MinGW-w64. The -posix compilers give std::thread and std::mutex (over
# winpthreads, linked in statically like the rest of the MinGW runtime).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KELMOR_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KELMOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELMOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KELMOR_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELMOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW DLLs to ship next to kelmor.dll and the programs.
set(KELMOR_MINGW_STATIC "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KELMOR_MINGW_STATIC}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KELMOR_MINGW_STATIC}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KELMOR_MINGW_STATIC}")

# Tests run under Wine, in a prefix of their own inside the build folder,
# which the build creates once (see the wine-prefix target).
find_program(KELMOR_WINE wine)
if(KELMOR_WINE AND NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(KELMOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests run in")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${KELMOR_WINEPREFIX} WINEARCH=win32 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
      ${KELMOR_WINE})
endif()
