// The machine's own configuration, where the platform keeps one: the
// registry on Windows, nothing elsewhere. The configuration store falls back
// to it while it has been given nothing of its own.
#pragma once

#include <optional>
#include <string>

#include "config_store.h"

namespace kelmor::runtime {

// The value name under key, a full path such as HKEY_LOCAL_MACHINE\SOFTWARE\...;
// nothing when the machine has no such value (or no such configuration).
std::optional<RegistryValue> ReadMachineValue(const std::string& key, const std::string& name);

}  // namespace kelmor::runtime
