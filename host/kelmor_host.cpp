// kelmor-host: loads the port library the way the controller host does and
// runs its port tasks on the stand-in runtime.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host_options.h"
#include "host_platform.h"
#include "kernel.h"
#include "task/identify.h"

namespace {

using kelmor::runtime::Kernel;
using namespace std::chrono_literals;

constexpr uint8_t kHostTask = 1;
constexpr uint8_t kLoginNoticeTask = 68;
constexpr uint8_t kMirrorTask = 75;
constexpr auto kStopLimit = 1500ms;
constexpr const char* kPortMapKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zorva\\Zorva Robotics Veltrane V6.20\\Port Map";

bool LoadConfiguration(const kelmor::host::Options& options) {
    auto& config = Kernel::Get().Config();
    for (const std::string& file : options.registryFiles) {
        std::string error;
        if (!config.LoadRegFile(file, error)) {
            std::fprintf(stderr, "kelmor-host: %s\n", error.c_str());
            return false;
        }
    }
    for (const auto& mapping : options.maps) {
        config.SetText(kPortMapKey, mapping.port, mapping.text);
    }
    if (options.wait) {
        config.SetText(kPortMapKey, "Wait", *options.wait);
    }
    for (const auto& com : options.comPaths) {
        kelmor::host::SetProcessEnv("KELMOR_COM" + std::to_string(com.number), com.path);
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

void StartSinks() {
    auto& kernel = Kernel::Get();
    kernel.StartSink(kLoginNoticeTask, "login notices", [](const Packet& packet) {
        std::fprintf(stderr,
                     "[host] task 68 got request %u: status %d param1 %d actual %u param2 0x%X param3 %d\n",
                     packet.request, packet.status, packet.param1, packet.actual,
                     static_cast<unsigned>(packet.param2), packet.param3);
    });
    kernel.StartSink(kMirrorTask, "write copies", [](const Packet& packet) {
        std::fprintf(stderr, "[host] task 75 got a copy of %u bytes\n", packet.length);
    });
}

// Dismounts every port task and waits, bounded, until each has deleted itself.
bool StopTasks(const std::vector<int>& tasks) {
    auto& kernel = Kernel::Get();
    for (int task : tasks) {
        Packet* dismount = nullptr;
        rt_create_packet(0, &dismount, 0, F_DISMOUNT);
        if (kernel.Request(kHostTask, static_cast<uint8_t>(task), dismount) != 0) {
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

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = kelmor::host::ParseOptions(argc, argv, error);
    if (!options) {
        std::fprintf(stderr, "kelmor-host: %s\n%s", error.c_str(), kelmor::host::kUsage);
        return 2;
    }
    if (options->help) {
        std::fputs(kelmor::host::kUsage, stdout);
        return 0;
    }
    if (!LoadConfiguration(*options)) {
        return 2;
    }
    const TaskEntry entry = IdentifyLibrary(
        options->library.empty() ? kelmor::host::ExecutableFolder() + kelmor::host::kLibraryFileName : options->library);
    if (entry == nullptr) {
        return 2;
    }

    kelmor::host::PrepareProcess();

    auto& kernel = Kernel::Get();
    kernel.AttachThread(kHostTask, "host");
    StartSinks();
    for (int task : options->tasks) {
        kernel.StartTask(static_cast<uint8_t>(task), entry);
    }
    std::fprintf(stderr, "[host] %zu port tasks running\n", options->tasks.size());
    kelmor::host::WaitForStop(options->durationSeconds);
    if (!StopTasks(options->tasks)) {
        kelmor::host::ExitNow(1);  // a task that did not end cannot be joined
    }
    kernel.Reset();
    return 0;
}
