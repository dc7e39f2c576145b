#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace kelmor::test {
namespace {

std::string UniquePath(const char* what) {
    static std::atomic<int> counter{0};
    return ::testing::TempDir() + "kelmor-child-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++) + "." + what;
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

ChildProcess::ChildProcess(std::vector<std::string> arguments)
    : stdoutPath_(UniquePath("out")), stderrPath_(UniquePath("err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child starts with default signal handling, whatever the test did.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
    std::remove(stdoutPath_.c_str());
    std::remove(stderrPath_.c_str());
}

void ChildProcess::Signal(int signo) const {
    if (Running()) {
        kill(pid_, signo);
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0 && !status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

std::string ChildProcess::Stdout() const { return ReadWholeFile(stdoutPath_); }

std::string ChildProcess::Stderr() const { return ReadWholeFile(stderrPath_); }

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit, bool standardError) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while ((standardError ? Stderr() : Stdout()).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline || (!Running() && Wait(std::chrono::milliseconds(0)))) {
            return (standardError ? Stderr() : Stdout()).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace kelmor::test
