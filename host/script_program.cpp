#include "script_program.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "controller_task.h"
#include "host_platform.h"
#include "kernel.h"
#include "loopback_client.h"

namespace kelmor::host {

const char* const kScriptHelp =
    "Script commands, one a line (# starts a comment; TEXT is a word or a \"quoted text\" with\n"
    "\\r \\n \\t \\\\ \\\" \\xHH escapes; MS is an optional time limit, 2000 by default):\n"
    "  write PORT TEXT              F_WRITE of TEXT to the port\n"
    "  read PORT N [MS]             wait for N bytes from the port (one read kept pending)\n"
    "  expect PORT TEXT [MS]        wait until the port has delivered TEXT\n"
    "  connect PORT | disconnect PORT | dismount PORT\n"
    "  telnet PORT TEXT             F_TLNTINP with TEXT\n"
    "  request PORT CODE [TEXT]     any request code, answered or not\n"
    "  sleep MS\n"
    "  function PORT CODE           port-function code for the announcement (set before start)\n"
    "  client open NAME TCPPORT     a TCP client on 127.0.0.1\n"
    "  client send NAME TEXT | client expect NAME TEXT [MS] | client close NAME\n"
    "  file-expect PATH TEXT [MS]   wait until the file holds TEXT\n"
    "PORT is P0..P8 or a task number.\n";

namespace {

constexpr std::chrono::milliseconds kDefaultLimit{2000};

struct Grammar {
    const char* command;
    size_t least;  // words after the command
    size_t most;
};

constexpr Grammar kGrammar[] = {
    {"write", 2, 2},   {"read", 2, 3},       {"expect", 2, 3},  {"connect", 1, 1}, {"disconnect", 1, 1},
    {"dismount", 1, 1}, {"telnet", 2, 2},    {"request", 2, 3}, {"sleep", 1, 1},   {"function", 2, 2},
    {"client", 2, 4},  {"file-expect", 2, 3},
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits a line into words; a quoted text is one word. False when a quote is open.
bool SplitWords(const std::string& line, std::vector<std::string>& words) {
    size_t at = 0;
    while (at < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        } else if (line[at] == '#') {
            break;
        } else if (line[at] == '"') {
            std::string word;
            size_t end = at + 1;
            for (; end < line.size() && line[end] != '"'; ++end) {
                word += line[end];
                if (line[end] == '\\' && end + 1 < line.size()) {
                    word += line[++end];
                }
            }
            if (end >= line.size()) {
                return false;
            }
            words.push_back(Unescape(word));
            at = end + 1;
        } else {
            size_t end = at;
            while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) {
                ++end;
            }
            words.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return true;
}

std::chrono::milliseconds LimitAt(const std::vector<std::string>& words, size_t index) {
    return index < words.size() ? std::chrono::milliseconds(std::atol(words[index].c_str())) : kDefaultLimit;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class ScriptRun {
public:
    ScriptRun(HostContext& host, const Script& script) : host_(host), script_(script), task_(kScriptTask, "script") {}

    int Run() {
        for (const ScriptCommand& command : script_.commands) {
            if (host_.Stopping()) {
                return Fail(command, "the host stopped");
            }
            JsonLine event;
            event.Field("line", static_cast<int64_t>(command.line)).Field("command", command.words[0]);
            std::string problem;
            const bool ok = Step(command, event, problem);
            event.Field("ok", ok);
            if (!ok) {
                event.Field("error", problem);
            }
            Print(event);
            if (!ok) {
                return Fail(command, problem);
            }
        }
        Print(JsonLine().Field("event", "script-end").Field("ok", true));
        return 0;
    }

private:
    void Print(const JsonLine& event) {
        std::printf("%s\n", event.Text().c_str());
        std::fflush(stdout);
    }

    int Fail(const ScriptCommand& command, const std::string& problem) {
        std::fprintf(stderr, "%s:%d: %s\n", script_.path.c_str(), command.line, problem.c_str());
        Print(JsonLine().Field("event", "script-end").Field("ok", false).Field("failed_line",
                                                                                 static_cast<int64_t>(command.line)));
        return 1;
    }

    bool Port(const std::string& word, uint8_t& task, JsonLine& event, std::string& problem) {
        const auto found = PortTask(word);
        if (!found) {
            problem = "no port " + word;
            return false;
        }
        task = *found;
        event.Field("port", PortName(task));
        return true;
    }

    bool Answered(const RequestResult& result, JsonLine& event, std::string& problem) {
        if (!result.answered) {
            problem = "no answer";
            return false;
        }
        event.Field("status", static_cast<int64_t>(result.status)).Field("actual", static_cast<int64_t>(result.actual));
        return true;
    }

    bool Step(const ScriptCommand& command, JsonLine& event, std::string& problem) {
        const auto& w = command.words;
        const std::string& verb = w[0];
        uint8_t port = 0;
        if (verb == "sleep") {
            std::this_thread::sleep_for(LimitAt(w, 1));
            return true;
        }
        if (verb == "function") {
            return true;  // applied before the ports started
        }
        if (verb == "client") {
            return ClientStep(w, event, problem);
        }
        if (verb == "file-expect") {
            return FileExpect(w, event, problem);
        }
        if (!Port(w[1], port, event, problem)) {
            return false;
        }
        if (verb == "write") {
            return Answered(task_.Request(port, F_WRITE, w[2], kDefaultLimit), event, problem);
        }
        if (verb == "read" || verb == "expect") {
            return Receive(verb, port, w, event, problem);
        }
        const std::map<std::string, uint8_t> simple{
            {"connect", F_CONNECT}, {"disconnect", F_DISCON}, {"dismount", F_DISMOUNT}, {"telnet", F_TLNTINP}};
        uint8_t code = 0;
        std::string data;
        if (auto found = simple.find(verb); found != simple.end()) {
            code = found->second;
            data = w.size() > 2 ? w[2] : "";
        } else {
            code = static_cast<uint8_t>(std::atoi(w[2].c_str()));
            data = w.size() > 3 ? w[3] : "";
        }
        const RequestResult result = task_.Request(port, code, data, kDefaultLimit);
        if (code == F_CONNECT || code == F_DISCON || code == F_TLNTINP) {
            return result.answered || (problem = "not queued", false);
        }
        if (verb == "request" && !result.answered) {
            event.Field("answered", false);
            return true;  // a raw request may well go unanswered
        }
        return Answered(result, event, problem);
    }

    bool Receive(const std::string& verb, uint8_t port, const std::vector<std::string>& w, JsonLine& event,
                 std::string& problem) {
        std::string& input = task_.Input(port);
        if (verb == "read") {
            const size_t wanted = static_cast<size_t>(std::atol(w[2].c_str()));
            const bool ok = task_.WaitForInput(port, [&](const std::string& in) { return in.size() >= wanted; },
                                               LimitAt(w, 3));
            const size_t taken = std::min(wanted, input.size());
            event.Field("bytes", input.substr(0, taken));
            input.erase(0, taken);
            return ok || (problem = "only " + std::to_string(taken) + " of " + w[2] + " bytes came", false);
        }
        const std::string& text = w[2];
        const bool ok = task_.WaitForInput(
            port, [&](const std::string& in) { return in.find(text) != std::string::npos; }, LimitAt(w, 3));
        if (!ok) {
            event.Field("received", input);
            problem = "\"" + text + "\" not seen within " + std::to_string(LimitAt(w, 3).count()) + " ms";
            return false;
        }
        input.erase(0, input.find(text) + text.size());
        event.Field("text", text);
        return true;
    }

    bool ClientStep(const std::vector<std::string>& w, JsonLine& event, std::string& problem) {
        const std::string& action = w[1];
        const std::string name = w.size() > 2 ? w[2] : "";
        event.Field("client", name).Field("action", action);
        auto& client = clients_[name];
        if (!client) {
            client = std::make_unique<LoopbackClient>();
        }
        if (action == "open" && w.size() >= 4) {
            return client->Connect(std::atoi(w[3].c_str()), kDefaultLimit) ||
                   (problem = "cannot connect to 127.0.0.1:" + w[3], false);
        }
        if (action == "send" && w.size() >= 4) {
            return client->Send(w[3]) || (problem = "send failed", false);
        }
        if (action == "expect" && w.size() >= 4) {
            if (client->Expect(w[3], LimitAt(w, 4))) {
                return true;
            }
            event.Field("received", client->Received());
            problem = "client " + name + ": \"" + w[3] + "\" not seen";
            return false;
        }
        if (action == "close") {
            client->Close();
            return true;
        }
        problem = "client wants open NAME TCPPORT, send NAME TEXT, expect NAME TEXT [MS] or close NAME";
        return false;
    }

    bool FileExpect(const std::vector<std::string>& w, JsonLine& event, std::string& problem) {
        event.Field("path", w[1]);
        const auto deadline = std::chrono::steady_clock::now() + LimitAt(w, 3);
        while (ReadFileText(w[1]).find(w[2]) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                event.Field("contents", ReadFileText(w[1]));
                problem = "\"" + w[2] + "\" not in " + w[1];
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    HostContext& host_;
    const Script& script_;
    ControllerTask task_;
    std::map<std::string, std::unique_ptr<LoopbackClient>> clients_;
};

}  // namespace

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<Script> LoadScript(const std::string& path, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    Script script{path, {}};
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::vector<std::string> words;
        if (!SplitWords(line, words)) {
            error = path + ":" + std::to_string(number) + ": a quoted text is not closed";
            return std::nullopt;
        }
        if (words.empty()) {
            continue;
        }
        const Grammar* grammar = nullptr;
        for (const Grammar& candidate : kGrammar) {
            if (words[0] == candidate.command) {
                grammar = &candidate;
            }
        }
        if (grammar == nullptr) {
            error = path + ":" + std::to_string(number) + ": unknown command " + words[0];
            return std::nullopt;
        }
        if (words.size() - 1 < grammar->least || words.size() - 1 > grammar->most) {
            error = path + ":" + std::to_string(number) + ": wrong number of words for " + words[0];
            return std::nullopt;
        }
        if (words[0] == "function" && !PortTask(words[1])) {
            error = path + ":" + std::to_string(number) + ": no port " + words[1];
            return std::nullopt;
        }
        script.commands.push_back({number, std::move(words)});
    }
    return script;
}

void ApplyPortFunctions(const Script& script) {
    for (const ScriptCommand& command : script.commands) {
        if (command.words[0] == "function") {
            const std::string name = PortName(*PortTask(command.words[1]));
            runtime::Kernel::Get().SetPortFunction(name.back() - '0', std::atoi(command.words[2].c_str()));
        }
    }
}

void RunScript(HostContext& host, const Script& script) {
    host.SetExitCode(ScriptRun(host, script).Run());
    RequestStop();
}

}  // namespace kelmor::host
