#include "port_check.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>

#include "config/port_map.h"
#include "host_context.h"
#include "host_platform.h"
#include "platform/platform.h"
#include "kernel.h"
#include "runtime/runtime.h"

namespace kelmor::host {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// Texts that look meant for a device but name a file.
void WarnAboutLookalikes(const std::string& port, const std::string& text, std::vector<std::string>& warnings) {
    const std::string upper = Upper(text);
    static const std::regex comWithoutColon("COM[0-9]+");
    static const std::regex unknownCom("COM[0-9]+:");
    if (upper == "NUL" || upper == "TCP" || std::regex_match(upper, comWithoutColon)) {
        warnings.push_back(port + ": " + Quoted(text) + " has no colon, so it names a file called " + Quoted(text));
    } else if (std::regex_match(upper, unknownCom)) {
        warnings.push_back(port + ": " + Quoted(text) + " is not one of COM1: to COM4:, so it names a file called " +
                           Quoted(text));
    }
    const auto first = upper.find_first_not_of(" \t");
    const auto last = upper.find_last_not_of(" \t");
    if (first != std::string::npos && (first != 0 || last + 1 != upper.size())) {
        const std::string trimmed = upper.substr(first, last - first + 1);
        if (SelectDevice(trimmed.c_str()).kind != DeviceKind::File) {
            warnings.push_back(port + ": the blanks around " + Quoted(text) + " make it a file name, not " +
                               Quoted(trimmed));
        }
    }
}

std::string DescribeDevice(const std::string& text, const PortReport& report, std::vector<std::string>& warnings) {
    const std::string upper = Upper(text);
    const DeviceChoice choice = SelectDevice(upper.c_str());
    switch (choice.kind) {
        case DeviceKind::Null:
            return "null device";
        case DeviceKind::Serial:
            return "serial line COM" + std::to_string(choice.comNumber) + ": on " + SerialLinePath(choice.comNumber);
        case DeviceKind::Tcp:
            return std::string("TCP terminal") + (report.waits ? ", waits for a first client" : "");
        case DeviceKind::File:
            break;
    }
    WarnAboutLookalikes(report.port, text, warnings);
    const std::string path = platform::kFileNamesIgnoreCase ? upper : text;
    if (!FolderExists(path)) {
        warnings.push_back(report.port + ": the folder of " + Quoted(path) + " does not exist, so its writes are lost");
    }
    return "file " + Quoted(path);
}

// The device text the port task will read, or why it gets none.
std::string ReadDeviceText(const PortReport& report, std::string& text, std::vector<std::string>& warnings) {
    const auto stored = runtime::Kernel::Get().Config().Get(PortMapKey(), report.port);
    if (!stored) {
        return "(none)";
    }
    if (!stored->isText) {
        warnings.push_back(report.port + ": the value is not a text, so the port gets the null device");
        return "(not a text)";
    }
    if (stored->text.size() >= kConfigTextSize) {
        warnings.push_back(report.port + ": the value is " + std::to_string(stored->text.size()) +
                           " characters, more than the " + std::to_string(kConfigTextSize - 1) +
                           " the reader takes, so the port gets the null device");
        return "(too long)";
    }
    text = stored->text;
    return Quoted(text);
}

void CheckWaitList(const std::vector<PortReport>& reports, std::vector<std::string>& warnings) {
    const auto stored = runtime::Kernel::Get().Config().Get(PortMapKey(), kWaitValueName);
    if (!stored || !stored->isText) {
        return;
    }
    const std::string& wait = stored->text;
    for (int digit = 0; digit <= 8; ++digit) {
        const std::string name = "P" + std::to_string(digit);
        const std::string lower = "p" + std::to_string(digit);
        if (wait.find(lower) != std::string::npos && wait.find(name) == std::string::npos) {
            warnings.push_back("Wait: " + Quoted(lower) + " is in lower case; the test is case-sensitive, so " +
                               name + " does not wait");
        }
        if (wait.find(name) == std::string::npos) {
            continue;
        }
        for (const PortReport& report : reports) {
            if (report.port == name && report.device.rfind("TCP terminal", 0) != 0) {
                warnings.push_back("Wait: " + name + " is not on \"TCP:\", so naming it does nothing");
            }
        }
    }
}

}  // namespace

std::vector<PortReport> DescribePorts(const std::vector<int>& tasks) {
    std::vector<PortReport> reports;
    char key[kPortMapKeySize];
    BuildPortMapKey(key);
    for (int task : tasks) {
        PortReport report{task, "", 0, "(no port)", "null device", false, {}};
        const PortEntry* entry = FindPortEntry(static_cast<uint8_t>(task));
        if (entry != nullptr) {
            report.port = entry->name;
            report.service = entry->service;
            std::string text;
            report.text = ReadDeviceText(report, text, report.warnings);
            char wait[kConfigTextSize];
            report.waits = rt_read_config_value(key, kWaitValueName, wait, kConfigTextSize) == 0 &&
                           std::strstr(wait, entry->name) != nullptr;
            report.device = DescribeDevice(text.empty() ? kDefaultDeviceText : text, report, report.warnings);
            report.waits = report.waits && report.device.rfind("TCP terminal", 0) == 0;
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

int PrintPortCheck(const std::vector<int>& tasks) {
    const std::vector<PortReport> reports = DescribePorts(tasks);
    std::printf("%-5s %-4s %-7s %-28s %s\n", "task", "port", "service", "device text", "device");
    std::vector<std::string> warnings;
    for (const PortReport& report : reports) {
        std::printf("%-5d %-4s %-7s %-28s %s\n", report.task, report.port.empty() ? "-" : report.port.c_str(),
                    report.port.empty() ? "-" : std::to_string(report.service).c_str(), report.text.c_str(),
                    report.device.c_str());
        warnings.insert(warnings.end(), report.warnings.begin(), report.warnings.end());
    }
    CheckWaitList(reports, warnings);
    for (const std::string& warning : warnings) {
        std::printf("warning: %s\n", warning.c_str());
    }
    return warnings.empty() ? 0 : 1;
}

}  // namespace kelmor::host
