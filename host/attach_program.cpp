#include "attach_program.h"

#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "controller_task.h"
#include "host_platform.h"

namespace kelmor::host {
namespace {

constexpr auto kLinger = std::chrono::milliseconds(500);

// Lines typed so far; filled by a reader thread that may stay blocked on
// the input until the process ends.
struct TypedLines {
    std::mutex mutex;
    std::deque<std::string> lines;
    bool ended = false;
};

void ReadLines(const std::shared_ptr<TypedLines>& typed) {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::lock_guard lock(typed->mutex);
        typed->lines.push_back(line + "\n");
    }
    std::lock_guard lock(typed->mutex);
    typed->ended = true;
}

void Print(std::string& input) {
    if (!input.empty()) {
        std::fwrite(input.data(), 1, input.size(), stdout);
        std::fflush(stdout);
        input.clear();
    }
}

}  // namespace

void RunAttach(HostContext& host, uint8_t portTask) {
    ControllerTask task(kAttachTask, "attach " + PortName(portTask));
    auto typed = std::make_shared<TypedLines>();
    std::thread(ReadLines, typed).detach();
    task.Listen(portTask);
    std::optional<std::chrono::steady_clock::time_point> endedAt;
    while (!host.Stopping()) {
        task.Pump(std::chrono::milliseconds(20));
        Print(task.Input(portTask));
        std::deque<std::string> lines;
        {
            std::lock_guard lock(typed->mutex);
            lines.swap(typed->lines);
            if (typed->ended && !endedAt) {
                endedAt = std::chrono::steady_clock::now();
            }
        }
        for (const std::string& line : lines) {
            task.Write(portTask, line);
        }
        if (endedAt && lines.empty() && std::chrono::steady_clock::now() - *endedAt > kLinger) {
            RequestStop();
            break;
        }
    }
}

}  // namespace kelmor::host
