// The .reg reader, fed any bytes: a file either loads whole or changes
// nothing and names its line, the same way every time, and what it loads
// reads back through the runtime's reader into the port map's 50-byte buffer
// as a terminated text.
#include <cstring>
#include <memory>
#include <string>

#include "config/port_map.h"
#include "fuzz_input.h"
#include "kernel.h"
#include "runtime/runtime.h"

namespace {

using kelmor::fuzz::Check;
using kelmor::runtime::ConfigStore;

constexpr const char* kOrigin = "fuzz.reg";
constexpr const char* kKeptKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelmor\\Fuzz";
constexpr const char* kValueNames[] = {"P0", "P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8", "Wait"};

bool Load(ConfigStore& store, const std::string& text, std::string& error) {
    store.SetText(kKeptKey, "Kept", "before");
    return store.LoadRegText(text, kOrigin, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text =
        kelmor::runtime::DecodeRegFileBytes(std::string_view(reinterpret_cast<const char*>(data), size));

    ConfigStore store;
    std::string error;
    const bool loaded = Load(store, text, error);
    Check(loaded == error.empty(), "an error is given exactly when the file does not load");
    if (!loaded) {
        Check(error.rfind(std::string(kOrigin) + ":", 0) == 0, "the error starts with the file's name and line");
        const auto kept = store.Get(kKeptKey, "Kept");
        Check(kept && kept->isText && kept->text == "before", "a file that does not load changes nothing");
    }
    ConfigStore again;
    std::string errorAgain;
    Check(Load(again, text, errorAgain) == loaded && errorAgain == error, "the same file loads the same way");
    if (!loaded) {
        return 0;
    }

    // The port map's own reads, into a buffer of exactly its size.
    auto& config = kelmor::runtime::Kernel::Get().Config();
    config.Clear();
    config.LoadRegText(text, kOrigin, error);
    char key[kPortMapKeySize];
    BuildPortMapKey(key);
    for (const char* name : kValueNames) {
        const auto buffer = std::make_unique<char[]>(kConfigTextSize);
        std::memset(buffer.get(), 0x55, kConfigTextSize);
        if (rt_read_config_value(key, name, buffer.get(), kConfigTextSize) == 0) {
            const void* end = std::memchr(buffer.get(), '\0', kConfigTextSize);
            Check(end != nullptr, "a value read is terminated within the buffer");
            SelectDevice(buffer.get());
        }
    }
    config.Clear();
    return 0;
}
