# One call per test binary: links GoogleTest, the library's objects and the
# stand-in runtime, and registers every test case with ctest.
include(GoogleTest)
if(KELMOR_PLATFORM STREQUAL "win32")
  include(${CMAKE_CURRENT_LIST_DIR}/KelmorWindowsTest.cmake)
else()
  find_package(GTest REQUIRED)
endif()

function(kelmor_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE kelmor_objects kelmor-runtime kelmor_test_support
                                        GTest::gtest_main GTest::gmock ${ARG_LIBRARIES})
  if(KELMOR_SANITIZE MATCHES "undefined")
    target_compile_definitions(${name} PRIVATE KELMOR_WITH_UBSAN=1)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120
               ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
endfunction()
