// A program run by a test, with its output in files and every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kelmor::test {

class ChildProcess {
public:
    // Starts program with arguments; standard output and error go to files
    // in the test's temporary folder.
    explicit ChildProcess(std::vector<std::string> arguments);
    ~ChildProcess();

    bool Running() const { return pid_ > 0 && !status_; }
    void Signal(int signo) const;
    // The wait status, or nothing when it did not end within limit.
    std::optional<int> Wait(std::chrono::milliseconds limit);
    std::string Stdout() const;
    std::string Stderr() const;
    // Waits until the output holds text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit, bool standardError = false);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string stdoutPath_;
    std::string stderrPath_;
};

std::string ReadWholeFile(const std::string& path);

}  // namespace kelmor::test
