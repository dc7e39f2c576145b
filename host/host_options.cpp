#include "host_options.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace kelmor::host {

const char* const kUsage =
    "usage: kelmor-host [options]\n"
    "\n"
    "Loads the Kelmor port library, starts its port tasks on the stand-in controller\n"
    "runtime and serves them until Ctrl-C, SIGTERM, --duration or the end of a script.\n"
    "\n"
    "Port map:\n"
    "  --registry FILE      load the port map from a .reg file (may be repeated)\n"
    "                       e.g. --registry ports.reg\n"
    "  --map NAME=TEXT      set one port's device text, e.g. --map P1=TCP: --map P3=out.txt\n"
    "  --wait TEXT          the \"Wait\" value: TCP ports that wait for a first client, e.g. --wait P1,P2\n"
    "  --com N=PATH         the serial line behind COMN: on Linux, e.g. --com 2=/dev/ttyUSB0\n"
    "                       (on Windows COMN: is the machine's own port)\n"
    "  --function PORT=CODE port-function code announced by a TCP port, e.g. --function P1=3\n"
    "  --check              print what every port gets and warn about likely mistakes;\n"
    "                       exit 1 when there is a warning, e.g. --registry ports.reg --check\n"
    "\n"
    "Controller programs:\n"
    "  --console PORT       an interactive controller console on PORT, e.g. --map P1=TCP: --console P1\n"
    "  --attach PORT        standard input and output become the controller side of PORT\n"
    "                       e.g. --map P2=COM2: --attach P2\n"
    "  --script FILE        run a controller script, one JSON line per step on standard output;\n"
    "                       exit 0 when every step held, 1 otherwise, e.g. --script smoke.kel\n"
    "\n"
    "Running:\n"
    "  --tasks LIST         port tasks to start (default 31,188-195), e.g. --tasks 188,190\n"
    "  --library PATH       the port library (default: the one next to kelmor-host)\n"
    "                       e.g. --library build/linux/bin/libkelmor.so\n"
    "  --duration SECONDS   stop by itself after that long, e.g. --duration 5\n"
    "  --log-json           every kernel event as a JSON line on standard output\n"
    "                       e.g. --map P1=TCP: --log-json | grep '\"to\":68'\n"
    "  --demo               the embedded demo port map: P1 on TCP: with a console, P3 on the\n"
    "                       file kelmor-demo-p3.txt, the rest on NUL:, e.g. --demo --duration 5\n"
    "  --help               this text\n";

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

// NAME=VALUE with both parts present.
bool SplitPair(const std::string& text, std::string& name, std::string& value) {
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        return false;
    }
    name = text.substr(0, equals);
    value = text.substr(equals + 1);
    return true;
}

using ValueOption = std::function<bool(Options&, const std::string&, std::string&)>;

const std::map<std::string, ValueOption>& ValueOptions() {
    static const std::map<std::string, ValueOption> options{
        {"--registry", [](Options& o, const std::string& v, std::string&) { o.registryFiles.push_back(v); return true; }},
        {"--map",
         [](Options& o, const std::string& v, std::string& error) {
             std::string name, text;
             if (!SplitPair(v, name, text)) {
                 error = "--map wants NAME=TEXT, e.g. --map P1=TCP:";
                 return false;
             }
             o.maps.push_back({name, text});
             return true;
         }},
        {"--wait", [](Options& o, const std::string& v, std::string&) { o.wait = v; return true; }},
        {"--com",
         [](Options& o, const std::string& v, std::string& error) {
             std::string number, path;
             if (!SplitPair(v, number, path) || number.size() != 1 || number[0] < '1' || number[0] > '4' ||
                 path.empty()) {
                 error = "--com wants N=PATH with N from 1 to 4, e.g. --com 2=/dev/ttyUSB0";
                 return false;
             }
             o.comPaths.push_back({number[0] - '0', path});
             return true;
         }},
        {"--function",
         [](Options& o, const std::string& v, std::string& error) {
             std::string port, code;
             char* end = nullptr;
             if (!SplitPair(v, port, code) || (std::strtol(code.c_str(), &end, 10), *end != '\0')) {
                 error = "--function wants PORT=CODE, e.g. --function P1=3";
                 return false;
             }
             o.functions.push_back({port, static_cast<int32_t>(std::strtol(code.c_str(), nullptr, 10))});
             return true;
         }},
        {"--tasks",
         [](Options& o, const std::string& v, std::string& error) {
             if (!ParseTaskList(v, o.tasks)) {
                 error = "--tasks wants numbers and ranges from 0 to 255, e.g. 31,188-195";
                 return false;
             }
             return true;
         }},
        {"--library", [](Options& o, const std::string& v, std::string&) { o.library = v; return true; }},
        {"--duration",
         [](Options& o, const std::string& v, std::string& error) {
             char* end = nullptr;
             const double seconds = std::strtod(v.c_str(), &end);
             if (end == v.c_str() || *end != '\0' || seconds < 0) {
                 error = "--duration wants a number of seconds";
                 return false;
             }
             o.durationSeconds = seconds;
             return true;
         }},
        {"--console", [](Options& o, const std::string& v, std::string&) { o.consoles.push_back(v); return true; }},
        {"--attach", [](Options& o, const std::string& v, std::string&) { o.attach = v; return true; }},
        {"--script", [](Options& o, const std::string& v, std::string&) { o.script = v; return true; }},
    };
    return options;
}

const std::map<std::string, bool Options::*>& Flags() {
    static const std::map<std::string, bool Options::*> flags{
        {"--check", &Options::check}, {"--log-json", &Options::logJson}, {"--demo", &Options::demo},
        {"--help", &Options::help},   {"-h", &Options::help},
    };
    return flags;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (auto flag = Flags().find(option); flag != Flags().end()) {
            options.*(flag->second) = true;
            continue;
        }
        auto valued = ValueOptions().find(option);
        if (valued == ValueOptions().end()) {
            error = "unknown option " + option;
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            error = option + " needs a value";
            return std::nullopt;
        }
        if (!valued->second(options, argv[++i], error)) {
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace kelmor::host
