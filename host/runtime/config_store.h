// The configuration the runtime's reader serves: registry keys and values,
// loaded from files in the Registry Editor export format or set directly.
// A store that has been given nothing reads the machine's own registry
// instead, where there is one (machine_registry.h).
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kelmor::runtime {

struct RegistryValue {
    bool isText;
    std::string text;  // UTF-8; only for text values
};

class ConfigStore {
public:
    static constexpr const char* kMachineRoot = "HKEY_LOCAL_MACHINE";

    // Merges a .reg file ("REGEDIT4" or "Windows Registry Editor Version
    // 5.00", ANSI/UTF-8 or UTF-16LE with BOM). On a malformed file nothing is
    // merged and error says "FILE:LINE: what".
    bool LoadRegFile(const std::string& path, std::string& error);
    bool LoadRegText(std::string_view text, const std::string& origin, std::string& error);

    // key is a full path such as HKEY_LOCAL_MACHINE\SOFTWARE\...; names and
    // keys compare without regard to case, as in the registry.
    void SetText(const std::string& key, const std::string& name, const std::string& text);
    void Remove(const std::string& key, const std::string& name);
    std::optional<RegistryValue> Get(const std::string& key, const std::string& name) const;
    void Clear();

private:
    using Values = std::map<std::string, RegistryValue>;
    mutable std::mutex mutex_;
    std::map<std::string, Values> keys_;
};

// Text of a .reg file as UTF-8, whatever encoding it was saved in.
std::string DecodeRegFileBytes(std::string_view bytes);

}  // namespace kelmor::runtime
