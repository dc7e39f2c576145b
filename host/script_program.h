// Controller scripts: one command a line, run against the port tasks, each
// answer and event printed as one JSON line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host_context.h"

namespace kelmor::host {

struct ScriptCommand {
    int line;
    std::vector<std::string> words;  // quoted texts already unescaped
};

struct Script {
    std::string path;
    std::vector<ScriptCommand> commands;
};

// Reads and checks a script; on a mistake says "FILE:LINE: what" in error.
std::optional<Script> LoadScript(const std::string& path, std::string& error);

// Port-function codes the script sets; they must be in place before the
// ports start, since a terminal port announces its function at start.
void ApplyPortFunctions(const Script& script);

// Runs the script on the calling thread, sets the host's exit code (0 when
// every step held) and asks the host to stop.
void RunScript(HostContext& host, const Script& script);

// Reads a text with escapes (\r \n \t \\ \" \xHH) as the script language writes it.
std::string Unescape(const std::string& text);

extern const char* const kScriptHelp;

}  // namespace kelmor::host
