// kelmor-host: loads the port library the way the controller host does, runs
// its port tasks on the stand-in runtime, and drives them with controller
// programs of its own.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "attach_program.h"
#include "console_program.h"
#include "host_context.h"
#include "host_options.h"
#include "host_platform.h"
#include "kernel.h"
#include "port_check.h"
#include "script_program.h"
#include "task/identify.h"

namespace {

using kelmor::host::HostContext;
using kelmor::host::JsonLine;
using kelmor::host::Options;
using kelmor::runtime::Kernel;
using kelmor::runtime::KernelEvent;
using namespace std::chrono_literals;

// Ports stop at once unless a client is in the middle of its login (up to
// 10 s a prompt) or a send to a client has stalled (up to 5 s).
constexpr auto kStopLimit = 26s;
constexpr auto kProgramStopLimit = 3s;
constexpr const char* kDemoFile = "kelmor-demo-p3.txt";
constexpr int32_t kConsoleFunction = 3;  // "Console/SMON"

// The demo's port map sits under whatever the user gives.
void AddDemoDefaults(Options& options) {
    options.maps.insert(options.maps.begin(), {{"P1", "TCP:"}, {"P3", kDemoFile}});
    if (std::find(options.consoles.begin(), options.consoles.end(), "P1") == options.consoles.end()) {
        options.consoles.push_back("P1");
    }
    options.functions.insert(options.functions.begin(), {"P1", kConsoleFunction});
}

bool LoadConfiguration(const Options& options) {
    auto& config = Kernel::Get().Config();
    const std::string portMapKey = kelmor::host::PortMapKey();
    for (const std::string& file : options.registryFiles) {
        std::string error;
        if (!config.LoadRegFile(file, error)) {
            std::fprintf(stderr, "kelmor-host: %s\n", error.c_str());
            return false;
        }
    }
    for (const auto& mapping : options.maps) {
        config.SetText(portMapKey, mapping.port, mapping.text);
    }
    if (options.wait) {
        config.SetText(portMapKey, "Wait", *options.wait);
    }
    for (const auto& com : options.comPaths) {
        kelmor::host::SetProcessEnv("KELMOR_COM" + std::to_string(com.number), com.path);
    }
    for (const auto& function : options.functions) {
        const auto task = kelmor::host::PortTask(function.port);
        if (!task) {
            std::fprintf(stderr, "kelmor-host: --function: no port %s\n", function.port.c_str());
            return false;
        }
        Kernel::Get().SetPortFunction(kelmor::host::PortName(*task).back() - '0', function.code);
    }
    return true;
}

bool CheckProgramPorts(const Options& options) {
    std::vector<std::string> ports = options.consoles;
    if (options.attach) {
        ports.push_back(*options.attach);
    }
    for (const std::string& port : ports) {
        if (!kelmor::host::PortTask(port)) {
            std::fprintf(stderr, "kelmor-host: no port %s (P0..P8 or a port task number)\n", port.c_str());
            return false;
        }
    }
    return true;
}

// Loads the library and asks it for its task entry, as the controller does.
TaskEntry IdentifyLibrary(const std::string& path) {
    std::string error;
    void* identifyExport = kelmor::host::LoadExport(path, "IdentifyMyself", error);
    if (identifyExport == nullptr) {
        std::fprintf(stderr, "kelmor-host: %s\n", error.c_str());
        return nullptr;
    }
    using Identify = int32_t (*)(IdentifyRecord*);
    auto identify = reinterpret_cast<Identify>(identifyExport);
    TaskDescriptor descriptor{};
    IdentifyRecord record{};
    record.descriptor = &descriptor;
    if (identify(&record) != 1 || record.identified != 1 || descriptor.tag != kDescriptorTag ||
        descriptor.entry == nullptr) {
        std::fprintf(stderr, "kelmor-host: %s did not identify itself as a port library\n", path.c_str());
        return nullptr;
    }
    return descriptor.entry;
}

const char* EventName(KernelEvent::Kind kind) {
    switch (kind) {
        case KernelEvent::Kind::Console: return "console";
        case KernelEvent::Kind::Assert: return "assert";
        case KernelEvent::Kind::Announcement: return "announce";
        case KernelEvent::Kind::Fault: return "fault";
        case KernelEvent::Kind::FaultHandled: return "fault-handled";
        case KernelEvent::Kind::TaskAttached: return "attach";
        case KernelEvent::Kind::TaskDeleted: return "delete";
    }
    return "event";
}

void RouteKernelEvents(HostContext& host) {
    Kernel::Get().SetEventSink([&host](const KernelEvent& event) {
        const JsonLine json = JsonLine().Field("event", EventName(event.kind)).Field("task", int64_t{event.task})
                                  .Field("text", event.text);
        if (!host.Json() && event.kind == KernelEvent::Kind::Console) {
            std::fwrite(event.text.data(), 1, event.text.size(), stdout);  // the console, as it is
            std::fflush(stdout);
        } else if (host.Json() || (event.kind != KernelEvent::Kind::TaskAttached &&
                                   event.kind != KernelEvent::Kind::TaskDeleted)) {
            host.Log(json, "[runtime] task " + std::to_string(event.task) + ": " + event.text);
        }
    });
    if (host.Json()) {
        kelmor::host::StartDebugCapture([&host](const std::string& text) {
            host.Log(JsonLine().Field("event", "debug").Field("text", text), text);
        });
    }
}

void StartSinks(HostContext& host) {
    auto& kernel = Kernel::Get();
    kernel.StartSink(kelmor::host::kLoginNoticeTask, "login notices", [&host](const Packet& packet, int sender) {
        host.CountLogin(sender);
        host.Log(JsonLine()
                     .Field("event", "packet").Field("to", int64_t{68}).Field("from", int64_t{sender})
                     .Field("request", int64_t{packet.request}).Field("status", int64_t{packet.status})
                     .Field("param1", int64_t{packet.param1}).Field("actual", int64_t{packet.actual})
                     .Field("param2", int64_t{packet.param2}).Field("param3", int64_t{packet.param3}),
                 "[host] task 68 got request " + std::to_string(packet.request) + " from task " +
                     std::to_string(sender) + ": status " + std::to_string(packet.status) + " param1 " +
                     std::to_string(packet.param1) + " actual " + std::to_string(packet.actual) + " param2 " +
                     std::to_string(packet.param2) + " param3 " + std::to_string(packet.param3));
    });
    kernel.StartSink(kelmor::host::kMirrorTask, "write copies", [&host](const Packet& packet, int sender) {
        const std::string data(reinterpret_cast<const char*>(packet.buffer), packet.length);
        host.Log(JsonLine()
                     .Field("event", "packet").Field("to", int64_t{75}).Field("from", int64_t{sender})
                     .Field("request", int64_t{packet.request}).Field("length", int64_t{packet.length})
                     .Field("data", data),
                 "[host] task 75 got a copy of " + std::to_string(packet.length) + " bytes from task " +
                     std::to_string(sender));
    });
}

// A program's thread, which the host can wait for with a bound.
struct Program {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

template <typename Body>
Program StartProgram(Body body) {
    Program program;
    program.thread = std::thread([body, done = program.done] {
        body();
        *done = true;
    });
    return program;
}

// True when every program ended in time; the others are left behind.
bool StopPrograms(HostContext& host, std::vector<Program>& programs) {
    host.BeginStop();
    const auto deadline = std::chrono::steady_clock::now() + kProgramStopLimit;
    bool allEnded = true;
    for (Program& program : programs) {
        while (!*program.done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        if (*program.done) {
            program.thread.join();
        } else {
            program.thread.detach();
            allEnded = false;
        }
    }
    return allEnded;
}

void PrintDemoHint() {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& announcement : Kernel::Get().Announcements()) {
            if (announcement.task == 188) {
                std::printf("Kelmor demo: telnet localhost %d (any login and password) for the controller console on "
                            "P1; its command 'send P3 TEXT' writes to the file %s. Ctrl-C stops.\n",
                            announcement.tcpPort, kDemoFile);
                std::fflush(stdout);
                return;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    std::printf("Kelmor demo: P1 did not announce a TCP port; see the console lines above.\n");
}

// Dismounts every port task and waits, bounded, until each has deleted itself.
bool StopTasks(const std::vector<int>& tasks) {
    auto& kernel = Kernel::Get();
    for (int task : tasks) {
        Packet* dismount = nullptr;
        rt_create_packet(0, &dismount, 0, F_DISMOUNT);
        if (kernel.Request(kelmor::host::kHostTask, static_cast<uint8_t>(task), dismount) != 0) {
            rt_delete_packet(dismount);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    bool allEnded = true;
    for (int task : tasks) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!kernel.WaitTaskEnded(static_cast<uint8_t>(task), std::max(left, 0ms))) {
            std::fprintf(stderr, "kelmor-host: task %d did not end in time\n", task);
            allEnded = false;
        }
    }
    return allEnded;
}

int Serve(const Options& options, TaskEntry entry, const std::optional<kelmor::host::Script>& script) {
    kelmor::host::PrepareProcess();
    HostContext host(options.tasks, options.logJson);
    RouteKernelEvents(host);
    auto& kernel = Kernel::Get();
    kernel.AttachThread(kelmor::host::kHostTask, "host");
    StartSinks(host);
    for (int task : options.tasks) {
        kernel.StartTask(static_cast<uint8_t>(task), entry);
    }
    host.Log(JsonLine().Field("event", "started").Field("tasks", static_cast<int64_t>(options.tasks.size())),
             "[host] " + std::to_string(options.tasks.size()) + " port tasks running");

    std::vector<Program> programs;
    for (const std::string& port : options.consoles) {
        const uint8_t task = *kelmor::host::PortTask(port);
        programs.push_back(StartProgram([&host, task] { kelmor::host::RunConsole(host, task); }));
    }
    if (options.attach) {
        const uint8_t task = *kelmor::host::PortTask(*options.attach);
        programs.push_back(StartProgram([&host, task] { kelmor::host::RunAttach(host, task); }));
    }
    if (script) {
        programs.push_back(StartProgram([&host, &script] { kelmor::host::RunScript(host, *script); }));
    }
    if (options.demo) {
        PrintDemoHint();
    }

    kelmor::host::WaitForStop(options.durationSeconds);
    const bool programsEnded = StopPrograms(host, programs);
    const bool tasksEnded = StopTasks(options.tasks);
    kelmor::host::StopDebugCapture();
    if (!programsEnded || !tasksEnded) {
        kelmor::host::ExitNow(1);  // a thread that did not end cannot be joined
    }
    kernel.Reset();
    kernel.SetEventSink(nullptr);
    return host.ExitCode();
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = kelmor::host::ParseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "kelmor-host: %s\n(kelmor-host --help lists the options)\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::printf("%s\n%s", kelmor::host::kUsage, kelmor::host::kScriptHelp);
        return 0;
    }
    if (options->demo) {
        AddDemoDefaults(*options);
    }
    std::optional<kelmor::host::Script> script;
    if (options->script) {
        script = kelmor::host::LoadScript(*options->script, error);
        if (!script) {
            std::fprintf(stderr, "kelmor-host: %s\n", error.c_str());
            return 2;
        }
    }
    if (!LoadConfiguration(*options) || !CheckProgramPorts(*options)) {
        return 2;
    }
    if (script) {
        kelmor::host::ApplyPortFunctions(*script);
    }
    if (options->check) {
        return kelmor::host::PrintPortCheck(options->tasks);
    }
    const TaskEntry entry = IdentifyLibrary(
        options->library.empty() ? kelmor::host::ExecutableFolder() + kelmor::host::kLibraryFileName : options->library);
    if (entry == nullptr) {
        return 2;
    }
    return Serve(*options, entry, script);
}
