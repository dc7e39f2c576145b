// Two ptys joined by socat: what one side writes the other reads. A test
// puts a device on Ours() and plays the far end of the line on Peer().
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "child_process.h"

namespace kelmor::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Empty when both ends are there; otherwise why not, for GTEST_SKIP.
    const std::string& Problem() const { return problem_; }
    const std::string& Ours() const { return ours_; }

    // The far end, opened raw without waiting.
    bool WritePeer(const std::string& bytes);
    // Reads until count bytes came or limit passed; returns what came.
    std::string ReadPeer(size_t count, std::chrono::milliseconds limit);
    // Ends socat, which hangs up both ptys (a blocked write on ours fails).
    void Stop();

private:
    std::string problem_;
    std::string ours_;
    std::string peer_;
    int peerFd_ = -1;
    std::unique_ptr<ChildProcess> socat_;
};

// Where a program is on PATH; empty when it is not there.
std::string FindProgram(const std::string& name);

}  // namespace kelmor::test
