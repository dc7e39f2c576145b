// A network namespace of one's own, with only loopback, for the programs that
// listen on the terminal ports: the test programs and the benchmark.
#pragma once

#include <cstdint>
#include <string>

namespace kelmor::test {

// Moves the calling thread, and every thread and program it starts from then
// on, into a new network namespace and brings its loopback interface up; also
// gives loopback extraAddress (host order, e.g. 127.0.0.2) unless it is 0.
// Empty on success, else the step that failed and why.
std::string EnterLoopbackNamespace(uint32_t extraAddress = 0);

}  // namespace kelmor::test
