// Command line of kelmor-host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelmor::host {

struct PortMapping {
    std::string port;  // "P0".."P8"
    std::string text;  // the device text
};

struct ComPath {
    int number;        // 1..4
    std::string path;  // the line behind "COMn:"
};

struct PortFunction {
    std::string port;
    int32_t code;
};

struct Options {
    std::vector<std::string> registryFiles;
    std::vector<PortMapping> maps;
    std::optional<std::string> wait;
    std::vector<int> tasks{31, 188, 189, 190, 191, 192, 193, 194, 195};
    std::string library;  // empty: libkelmor.so next to the host
    std::vector<ComPath> comPaths;
    std::optional<double> durationSeconds;
    std::vector<std::string> consoles;   // ports with a controller console
    std::optional<std::string> attach;   // port tied to standard input and output
    std::optional<std::string> script;
    std::vector<PortFunction> functions;
    bool check = false;
    bool logJson = false;
    bool demo = false;
    bool help = false;
};

// Parses argv; on a mistake returns nothing and says why in error.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);

extern const char* const kUsage;

}  // namespace kelmor::host
