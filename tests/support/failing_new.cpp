#include "failing_new.h"

#include <atomic>
#include <new>

#include "kernel_impl.h"

namespace kelmor::test {
namespace {

std::atomic<int> failingTask{-1};
std::atomic<int> failuresLeft{0};

bool ShouldFail() {
    if (failuresLeft.load() <= 0 || runtime::CurrentTask() != failingTask.load()) {
        return false;
    }
    return failuresLeft.fetch_sub(1) > 0;
}

}  // namespace

void FailNothrowNew(uint8_t task, int count) {
    failingTask = task;
    failuresLeft = count;
}

}  // namespace kelmor::test

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (kelmor::test::ShouldFail()) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
