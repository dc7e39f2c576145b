#include "console_program.h"

#include <cstdio>
#include <sstream>

#include "controller_task.h"
#include "kernel.h"
#include "port_check.h"

namespace kelmor::host {
namespace {

constexpr char kBackspace = 0x08;
constexpr char kDelete = 0x7F;
constexpr const char* kPrompt = "> ";
constexpr unsigned char kIac = 0xFF;  // starts a telnet command
constexpr unsigned char kWill = 0xFB;
// On a terminal port: we echo, and keystrokes come one by one, so a telnet
// client neither echoes twice nor waits for a whole line.
constexpr const char kTelnetCharacterMode[] = "\xFF\xFB\x01\xFF\xFB\x03";

class Console {
public:
    Console(HostContext& host, uint8_t port)
        : host_(host),
          port_(port),
          task_(static_cast<uint8_t>(kFirstConsoleTask + PortName(port).back() - '0'), "console " + PortName(port)),
          terminal_(IsTerminalPort(host.Tasks(), port)) {}

    void Run() {
        task_.Listen(port_);
        if (!terminal_) {
            Greet();  // on a terminal port nobody is there yet: each login is greeted
        }
        while (!host_.Stopping()) {
            task_.Pump(std::chrono::milliseconds(50));
            std::string& input = task_.Input(port_);
            const std::string typed = input;
            input.clear();
            for (char c : typed) {
                Type(c);
            }
            if (host_.Logins(port_) != loginsSeen_) {
                Greet();  // a new client sees the banner too
            }
        }
    }

private:
    void Out(const std::string& text) { task_.Write(port_, text); }

    static bool IsTerminalPort(const std::vector<int>& tasks, uint8_t port) {
        for (const PortReport& report : DescribePorts(tasks)) {
            if (report.task == port) {
                return report.device.rfind("TCP terminal", 0) == 0;
            }
        }
        return false;
    }

    void Greet() {
        loginsSeen_ = host_.Logins(port_);
        Out(std::string(terminal_ ? kTelnetCharacterMode : "") + "\r\nKelmor controller console on " + PortName(port_) + " (task " + std::to_string(port_) +
            ")\r\nType help for the commands.\r\n" + kPrompt + line_);
    }

    // Drops telnet commands: IAC and one byte, or IAC and two for an option.
    bool InTelnetCommand(unsigned char c) {
        if (commandBytesLeft_ > 0) {
            if (--commandBytesLeft_ == 1 && c < kWill) {
                commandBytesLeft_ = 0;
            }
            return true;
        }
        if (c == kIac) {
            commandBytesLeft_ = 2;
            return true;
        }
        return false;
    }

    void Type(char c) {
        if (InTelnetCommand(static_cast<unsigned char>(c))) {
            return;
        }
        if (c == '\r') {
            Out("\r\n");
            Execute(line_);
            line_.clear();
            Out(kPrompt);
        } else if (c == kBackspace || c == kDelete) {
            if (!line_.empty()) {
                line_.pop_back();
                Out("\b \b");
            }
        } else if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F) {
            line_ += c;
            Out(std::string(1, c));
        }
    }

    void Execute(const std::string& line) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (command.empty()) {
            return;
        }
        if (command == "help") {
            Out("help             this list\r\n"
                "ports            every port: device and bytes moved\r\n"
                "send PORT TEXT   write TEXT to another port, e.g. send P3 hello\r\n"
                "echo TEXT        write TEXT back here\r\n"
                "uptime           how long the controller has run\r\n");
        } else if (command == "ports") {
            Out(PortsTable());
        } else if (command == "send") {
            Send(rest);
        } else if (command == "echo") {
            Out(rest + "\r\n");
        } else if (command == "uptime") {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(host_.Uptime()).count();
            Out("up " + std::to_string(seconds) + " s\r\n");
        } else {
            Out("unknown command " + command + "; try help\r\n");
        }
    }

    void Send(const std::string& arguments) {
        std::istringstream words(arguments);
        std::string port;
        words >> port;
        std::string text;
        std::getline(words >> std::ws, text);
        const auto target = PortTask(port);
        if (!target) {
            Out("no port " + port + "\r\n");
            return;
        }
        const RequestResult result = task_.Write(*target, text + "\n");
        Out(result.answered ? "sent " + std::to_string(result.actual) + " bytes to " + port + "\r\n"
                            : "no answer from " + port + "\r\n");
    }

    std::string PortsTable() {
        std::string table = "task port device                                  written    read\r\n";
        for (const PortReport& report : DescribePorts(host_.Tasks())) {
            const runtime::PortTraffic traffic = runtime::Kernel::Get().Traffic(static_cast<uint8_t>(report.task));
            char row[160];
            std::snprintf(row, sizeof row, "%4d %-4s %-38.38s %8llu %7llu\r\n", report.task, report.port.c_str(),
                          report.device.c_str(), static_cast<unsigned long long>(traffic.bytesWritten),
                          static_cast<unsigned long long>(traffic.bytesRead));
            table += row;
        }
        return table;
    }

    HostContext& host_;
    uint8_t port_;
    ControllerTask task_;
    bool terminal_;
    std::string line_;
    int loginsSeen_ = 0;
    int commandBytesLeft_ = 0;
};

}  // namespace

void RunConsole(HostContext& host, uint8_t portTask) { Console(host, portTask).Run(); }

}  // namespace kelmor::host
