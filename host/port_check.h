// What each port task would get from the current port map, with the likely
// mistakes that the selection rules would let pass without a word.
#pragma once

#include <string>
#include <vector>

namespace kelmor::host {

struct PortReport {
    int task;
    std::string port;     // "" for a task outside the port table
    int32_t service;
    std::string text;     // the device text as read, quoted, or why none was read
    std::string device;   // what it selects and with what
    bool waits;
    std::vector<std::string> warnings;
};

std::vector<PortReport> DescribePorts(const std::vector<int>& tasks);

// Prints the reports as a table followed by the warnings; 1 when there is a
// warning, 0 otherwise.
int PrintPortCheck(const std::vector<int>& tasks);

}  // namespace kelmor::host
