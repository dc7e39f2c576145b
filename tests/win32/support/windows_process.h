// A program run by a Windows test, with its output in a file and every wait
// bounded; ended on destruction if it is still running.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kelmor::test {

class Program {
public:
    // commandLine as CreateProcess takes it; standard output and error both
    // go to one file in the test's temporary folder.
    explicit Program(const std::string& commandLine);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return process_ != nullptr; }
    // The exit code, or nothing when it did not end within limit.
    std::optional<unsigned long> Wait(std::chrono::milliseconds limit);
    std::string Output() const;
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const;

private:
    void* process_ = nullptr;
    std::string outputPath_;
};

// Runs commandLine to its end, within limit; its exit code, or nothing.
std::optional<unsigned long> RunProgram(const std::string& commandLine, std::chrono::milliseconds limit,
                                        std::string* output = nullptr);

}  // namespace kelmor::test
