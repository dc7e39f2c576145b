// The real registry, as the controller's own configuration reader sees it:
// text values under HKEY_LOCAL_MACHINE, through the ANSI functions.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>

#include "machine_registry.h"

namespace kelmor::runtime {
namespace {

constexpr const char kMachineRoot[] = "HKEY_LOCAL_MACHINE\\";

bool StartsWithIgnoringCase(const std::string& text, const char* prefix) {
    const size_t length = std::strlen(prefix);
    return text.size() >= length && _strnicmp(text.c_str(), prefix, length) == 0;
}

}  // namespace

std::optional<RegistryValue> ReadMachineValue(const std::string& key, const std::string& name) {
    if (!StartsWithIgnoringCase(key, kMachineRoot)) {
        return std::nullopt;
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str() + std::strlen(kMachineRoot), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::optional<RegistryValue> value;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(opened, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        if (type != REG_SZ) {
            value = RegistryValue{false, {}};
        } else {
            // The value may change between the two calls; a second miss counts as none.
            std::string text(size + 1, '\0');
            DWORD got = size;
            if (RegQueryValueExA(opened, name.c_str(), nullptr, &type,
                                 reinterpret_cast<BYTE*>(text.data()), &got) == ERROR_SUCCESS &&
                type == REG_SZ) {
                // Stored with or without its terminator.
                text.resize(std::strlen(text.c_str()));
                value = RegistryValue{true, std::move(text)};
            }
        }
    }
    RegCloseKey(opened);
    return value;
}

}  // namespace kelmor::runtime
