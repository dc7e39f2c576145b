# Tests of the Windows build, run under Wine. Included by KelmorTest.cmake
# when the target is win32.

# GoogleTest built with the cross compiler from the sources Debian's
# googletest package ships (its prebuilt libraries are for Linux only).
# gtest uses Win32 threads here, as its headers expect on Windows.
set(KELMOR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KELMOR_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(KELMOR_WINE)
  # The first start of Wine in a new prefix takes seconds and must not happen
  # in several tests at once: the build does it once, before any test runs.
  get_filename_component(KELMOR_WINE_FOLDER ${KELMOR_WINE} DIRECTORY)
  set(KELMOR_WINE_ENV env WINEPREFIX=${KELMOR_WINEPREFIX} WINEARCH=win32 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")
  set(KELMOR_WINE_STAMP ${CMAKE_BINARY_DIR}/wineprefix.stamp)
  add_custom_command(OUTPUT ${KELMOR_WINE_STAMP}
    COMMAND ${KELMOR_WINE_ENV} ${KELMOR_WINE_FOLDER}/wineboot -i
    COMMAND ${KELMOR_WINE_ENV} ${KELMOR_WINE_FOLDER}/wineserver -w
    COMMAND ${CMAKE_COMMAND} -E touch ${KELMOR_WINE_STAMP}
    COMMENT "Creating the Wine prefix for the tests in ${KELMOR_WINEPREFIX}"
    VERBATIM)
  add_custom_target(wine-prefix ALL DEPENDS ${KELMOR_WINE_STAMP})
endif()

# Registers the cases of one test program, listed when ctest starts (the
# build cannot run them), or one skipped test when there is no Wine.
function(kelmor_discover_windows_tests name)
  if(NOT KELMOR_WINE)
    add_test(NAME ${name}.NoWine COMMAND ${CMAKE_COMMAND} -E echo "skipped: wine not found, ${name} not run")
    set_tests_properties(${name}.NoWine PROPERTIES SKIP_REGULAR_EXPRESSION "skipped: ")
    return()
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 120 ${ARGN})
endfunction()
