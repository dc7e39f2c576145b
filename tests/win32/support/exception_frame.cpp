#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "exception_frame.h"

namespace kelmor::test {
namespace {

EXCEPTION_DISPOSITION NTAPI Dispatch(EXCEPTION_RECORD* exception, void* frame, CONTEXT*, void*) {
    const auto* record = static_cast<ExceptionFrame::Record*>(frame);
    const bool unwinding = (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0;
    const auto answer = record->handler(exception->ExceptionCode, unwinding);
    return answer == ExceptionFrame::Answer::ContinueExecution && !unwinding ? ExceptionContinueExecution
                                                                            : ExceptionContinueSearch;
}

ExceptionFrame::Record* ChainHead() {
    ExceptionFrame::Record* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void SetChainHead(ExceptionFrame::Record* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

}  // namespace

ExceptionFrame::ExceptionFrame(Handler handler) : record_{ChainHead(), reinterpret_cast<void*>(&Dispatch), handler} {
    SetChainHead(&record_);
}

// An unwind through this frame has already taken it off the chain.
ExceptionFrame::~ExceptionFrame() {
    if (ChainHead() == &record_) {
        SetChainHead(record_.next);
    }
}

}  // namespace kelmor::test
