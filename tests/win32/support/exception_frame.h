// An exception frame of the test's own on the calling thread's chain, the
// way a host around the task entry or a library further in would have one.
// Lives on the stack, from construction to destruction.
#pragma once

#include <cstdint>

namespace kelmor::test {

class ExceptionFrame {
public:
    enum class Answer { ContinueSearch, ContinueExecution };
    // Called for every pass over the frame: the exception's code, and whether
    // it is an unwind pass rather than the search for a handler.
    using Handler = Answer (*)(uint32_t code, bool unwinding);

    explicit ExceptionFrame(Handler handler);
    ~ExceptionFrame();
    ExceptionFrame(const ExceptionFrame&) = delete;
    ExceptionFrame& operator=(const ExceptionFrame&) = delete;

    // The system's part comes first: the dispatcher's frame address is ours.
    struct Record {
        Record* next;
        void* routine;
        Handler handler;
    };

private:
    Record record_;
};

}  // namespace kelmor::test
