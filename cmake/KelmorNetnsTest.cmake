# Test programs that listen on the terminal ports 9100..9199 run in a network
# namespace of their own; their main (tests/support/netns_main.cpp) enters it
# before any thread starts. Built like every other test program: main is an
# object of the program itself, so the linker never takes the one in
# gtest_main's archive.
function(kelmor_add_netns_test name)
  kelmor_add_test(${name} ${ARGN})
  target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/netns_main.cpp)
endfunction()
