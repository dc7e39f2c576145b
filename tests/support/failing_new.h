// Makes the next allocations with new (std::nothrow) on one task's thread
// fail, the way a controller out of memory would.
#pragma once

#include <cstdint>

namespace kelmor::test {

void FailNothrowNew(uint8_t task, int count);

}  // namespace kelmor::test
