// What the host's controller programs share: the ports, stop and exit state,
// login news from task 68, and the event log.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "json.h"

namespace kelmor::host {

// Task numbers of the host's own programs.
inline constexpr uint8_t kHostTask = 1;
inline constexpr uint8_t kScriptTask = 2;
inline constexpr uint8_t kAttachTask = 3;
inline constexpr uint8_t kFirstConsoleTask = 10;  // + port digit
inline constexpr uint8_t kLoginNoticeTask = 68;
inline constexpr uint8_t kMirrorTask = 75;

// "P3" or a task number; nothing when it names no port task.
std::optional<uint8_t> PortTask(const std::string& port);
std::string PortName(uint8_t task);

// The port map's registry key, root included.
std::string PortMapKey();

class HostContext {
public:
    HostContext(std::vector<int> tasks, bool json) : tasks_(std::move(tasks)), json_(json) {}

    const std::vector<int>& Tasks() const { return tasks_; }
    bool Json() const { return json_; }
    std::chrono::steady_clock::duration Uptime() const { return std::chrono::steady_clock::now() - started_; }

    bool Stopping() const { return stopping_.load(); }
    void BeginStop() { stopping_ = true; }
    // The program that decides the exit status (a script) sets it.
    void SetExitCode(int code) { exitCode_ = code; }
    int ExitCode() const { return exitCode_.load(); }

    void CountLogin(int portTask) {
        if (portTask >= 0 && portTask < 256) {
            ++logins_[portTask];
        }
    }
    int Logins(uint8_t portTask) const { return logins_[portTask].load(); }

    // One event: a JSON line on standard output with --log-json, else the
    // plain text on standard error.
    void Log(const JsonLine& event, const std::string& plain);

private:
    std::vector<int> tasks_;
    bool json_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> stopping_{false};
    std::atomic<int> exitCode_{0};
    std::array<std::atomic<int>, 256> logins_{};
    std::mutex outputMutex_;
};

}  // namespace kelmor::host
