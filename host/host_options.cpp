#include "host_options.h"

#include <cstdlib>
#include <sstream>

namespace kelmor::host {

const char* const kUsage =
    "usage: kelmor-host [options]\n"
    "\n"
    "Loads the Kelmor port library, starts its port tasks on the stand-in controller\n"
    "runtime and serves them until SIGINT or SIGTERM (or --duration) dismounts them.\n"
    "\n"
    "  --registry FILE    load the port map from a .reg file (may be repeated)\n"
    "                     e.g. --registry ports.reg\n"
    "  --map NAME=TEXT    set one port's device text, e.g. --map P1=TCP: --map P3=out.txt\n"
    "  --wait TEXT        the \"Wait\" value: TCP ports that wait for a first client, e.g. --wait P1,P2\n"
    "  --com N=PATH       the serial line behind COMN:, e.g. --com 2=/dev/ttyUSB0\n"
    "  --tasks LIST       port tasks to start (default 31,188-195), e.g. --tasks 188,190\n"
    "  --library PATH     the port library (default: libkelmor.so next to kelmor-host)\n"
    "  --duration SECONDS stop by itself after that long, e.g. --duration 5\n"
    "  --help             this text\n";

namespace {

bool ParseTaskList(const std::string& text, std::vector<int>& tasks) {
    tasks.clear();
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto dash = item.find('-');
        char* end = nullptr;
        const long first = std::strtol(item.c_str(), &end, 10);
        long last = first;
        if (dash != std::string::npos) {
            last = std::strtol(item.c_str() + dash + 1, &end, 10);
        }
        if (end == item.c_str() || *end != '\0' || first < 0 || last > 255 || first > last) {
            return false;
        }
        for (long task = first; task <= last; ++task) {
            tasks.push_back(static_cast<int>(task));
        }
    }
    return !tasks.empty();
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = option == "--registry" || option == "--map" || option == "--wait" || option == "--com" ||
                            option == "--tasks" || option == "--library" || option == "--duration"
                        ? option + " needs a value"
                        : "unknown option " + option;
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (option == "--registry") {
            options.registryFiles.push_back(value);
        } else if (option == "--map") {
            const auto equals = value.find('=');
            if (equals == std::string::npos || equals == 0) {
                error = "--map wants NAME=TEXT, e.g. --map P1=TCP:";
                return std::nullopt;
            }
            options.maps.push_back({value.substr(0, equals), value.substr(equals + 1)});
        } else if (option == "--wait") {
            options.wait = value;
        } else if (option == "--com") {
            const auto equals = value.find('=');
            const int number = equals == 1 ? value[0] - '0' : 0;
            if (number < 1 || number > 4 || value.size() <= 2) {
                error = "--com wants N=PATH with N from 1 to 4, e.g. --com 2=/dev/ttyUSB0";
                return std::nullopt;
            }
            options.comPaths.push_back({number, value.substr(2)});
        } else if (option == "--tasks") {
            if (!ParseTaskList(value, options.tasks)) {
                error = "--tasks wants numbers and ranges from 0 to 255, e.g. 31,188-195";
                return std::nullopt;
            }
        } else if (option == "--library") {
            options.library = value;
        } else if (option == "--duration") {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || seconds < 0) {
                error = "--duration wants a number of seconds";
                return std::nullopt;
            }
            options.durationSeconds = seconds;
        } else {
            error = "unknown option " + option;
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace kelmor::host
