#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "windows_process.h"

namespace kelmor::test {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

Program::Program(const std::string& commandLine) {
    static std::atomic<int> counter{0};
    outputPath_ = ::testing::TempDir() + "kelmor-program-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(counter++) + ".out";
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                               0, nullptr);
    if (output == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot redirect the output of " << commandLine;
        return;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION started{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        process_ = started.hProcess;
        CloseHandle(started.hThread);
    } else {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
    }
    CloseHandle(output);
    CloseHandle(input);
}

Program::~Program() {
    if (process_ == nullptr) {
        return;
    }
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
}

std::optional<unsigned long> Program::Wait(std::chrono::milliseconds limit) {
    if (process_ == nullptr || WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

std::string Program::Output() const { return ReadWholeFile(outputPath_); }

bool Program::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::optional<unsigned long> RunProgram(const std::string& commandLine, std::chrono::milliseconds limit,
                                        std::string* output) {
    Program program(commandLine);
    const auto code = program.Wait(limit);
    if (output != nullptr) {
        *output = program.Output();
    }
    return code;
}

}  // namespace kelmor::test
