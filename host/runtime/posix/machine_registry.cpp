#include "machine_registry.h"

namespace kelmor::runtime {

// There is no machine-wide registry here: the host's .reg files and options
// are the whole configuration.
std::optional<RegistryValue> ReadMachineValue(const std::string&, const std::string&) { return std::nullopt; }

}  // namespace kelmor::runtime
