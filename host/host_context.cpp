#include "host_context.h"

#include <cstdlib>

#include "config/port_map.h"
#include "config_store.h"

namespace kelmor::host {

std::optional<uint8_t> PortTask(const std::string& port) {
    for (int task = 0; task < 256; ++task) {
        const PortEntry* entry = FindPortEntry(static_cast<uint8_t>(task));
        if (entry != nullptr && port == entry->name) {
            return static_cast<uint8_t>(task);
        }
    }
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (!port.empty() && *end == '\0' && number >= 0 && number < 256 && FindPortEntry(static_cast<uint8_t>(number))) {
        return static_cast<uint8_t>(number);
    }
    return std::nullopt;
}

std::string PortName(uint8_t task) {
    const PortEntry* entry = FindPortEntry(task);
    return entry != nullptr ? entry->name : std::to_string(task);
}

std::string PortMapKey() {
    char key[kPortMapKeySize];
    BuildPortMapKey(key);
    return std::string(runtime::ConfigStore::kMachineRoot) + "\\" + key;
}

void HostContext::Log(const JsonLine& event, const std::string& plain) {
    std::lock_guard lock(outputMutex_);
    if (json_) {
        std::printf("%s\n", event.Text().c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "%s\n", plain.c_str());
    }
}

}  // namespace kelmor::host
