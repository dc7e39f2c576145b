#include "config_store.h"
#include "machine_registry.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace kelmor::runtime {
namespace {

std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string DecodeUtf16le(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t low = static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, unit);
    }
    return out;
}

std::string_view Trimmed(std::string_view line) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) {
        line.remove_prefix(1);
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.remove_suffix(1);
    }
    return line;
}

// One logical line: physical lines joined where a hex list ends in a backslash.
struct LogicalLine {
    int number;
    std::string text;
};

std::vector<LogicalLine> SplitLines(std::string_view text) {
    std::vector<LogicalLine> lines;
    std::istringstream in{std::string(text)};
    std::string physical;
    int number = 0;
    bool continues = false;
    while (std::getline(in, physical)) {
        ++number;
        std::string_view trimmed = Trimmed(physical);
        if (continues) {
            lines.back().text += trimmed;
        } else {
            lines.push_back({number, std::string(trimmed)});
        }
        // Only binary values continue on the next line, after a trailing backslash.
        const std::string& joined = lines.back().text;
        continues = !joined.empty() && joined.back() == '\\' && joined.find("=hex") != std::string::npos;
        if (continues) {
            lines.back().text.pop_back();
        }
    }
    return lines;
}

// Reads a quoted text at the start of rest; escapes are \\ and \".
bool TakeQuoted(std::string_view& rest, std::string& out) {
    if (rest.empty() || rest.front() != '"') {
        return false;
    }
    for (size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] == '\\' && i + 1 < rest.size()) {
            out += rest[++i];
        } else if (rest[i] == '"') {
            rest.remove_prefix(i + 1);
            return true;
        } else {
            out += rest[i];
        }
    }
    return false;
}

struct Change {
    std::string key;
    std::string name;
    std::optional<RegistryValue> value;  // none: delete the value
    bool deleteKey = false;
};

}  // namespace

std::string DecodeRegFileBytes(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        return DecodeUtf16le(bytes.substr(2));
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        return std::string(bytes.substr(3));
    }
    return std::string(bytes);
}

bool ConfigStore::LoadRegFile(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return LoadRegText(DecodeRegFileBytes(bytes.str()), path, error);
}

bool ConfigStore::LoadRegText(std::string_view text, const std::string& origin, std::string& error) {
    std::vector<Change> changes;
    std::string currentKey;
    bool sawHeader = false;
    for (const LogicalLine& line : SplitLines(text)) {
        std::string_view rest = line.text;
        auto fail = [&](const std::string& what) {
            error = origin + ":" + std::to_string(line.number) + ": " + what;
            return false;
        };
        if (rest.empty() || rest.front() == ';') {
            continue;
        }
        if (!sawHeader) {
            if (rest != "Windows Registry Editor Version 5.00" && rest != "REGEDIT4") {
                return fail("not a registry file (expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\")");
            }
            sawHeader = true;
            continue;
        }
        if (rest.front() == '[') {
            if (rest.back() != ']' || rest.size() < 3) {
                return fail("key line must end with ']'");
            }
            const bool deletes = rest[1] == '-';
            currentKey = std::string(rest.substr(deletes ? 2 : 1, rest.size() - (deletes ? 3 : 2)));
            if (currentKey.find("HKEY_") != 0) {
                return fail("key must start with a root such as HKEY_LOCAL_MACHINE");
            }
            if (deletes) {
                changes.push_back({currentKey, {}, {}, true});
                currentKey.clear();
            }
            continue;
        }
        if (currentKey.empty()) {
            return fail("value outside of a key");
        }
        std::string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else if (!TakeQuoted(rest, name)) {
            return fail("value name must be quoted");
        }
        rest = Trimmed(rest);
        if (rest.empty() || rest.front() != '=') {
            return fail("expected '=' after the value name");
        }
        rest = Trimmed(rest.substr(1));
        Change change{currentKey, name, RegistryValue{true, {}}};
        if (rest == "-") {
            change.value.reset();
        } else if (rest.starts_with("\"")) {
            if (!TakeQuoted(rest, change.value->text) || !Trimmed(rest).empty()) {
                return fail("unterminated or malformed text value");
            }
        } else if (rest.starts_with("dword:") || rest.starts_with("hex")) {
            change.value = RegistryValue{false, {}};
        } else {
            return fail("unknown value type");
        }
        changes.push_back(std::move(change));
    }
    if (!sawHeader) {
        error = origin + ":1: empty registry file";
        return false;
    }
    for (const Change& change : changes) {
        if (change.deleteKey) {
            std::lock_guard lock(mutex_);
            keys_.erase(Folded(change.key));
        } else if (change.value) {
            std::lock_guard lock(mutex_);
            keys_[Folded(change.key)][Folded(change.name)] = *change.value;
        } else {
            Remove(change.key, change.name);
        }
    }
    return true;
}

void ConfigStore::SetText(const std::string& key, const std::string& name, const std::string& text) {
    std::lock_guard lock(mutex_);
    keys_[Folded(key)][Folded(name)] = RegistryValue{true, text};
}

void ConfigStore::Remove(const std::string& key, const std::string& name) {
    std::lock_guard lock(mutex_);
    if (auto found = keys_.find(Folded(key)); found != keys_.end()) {
        found->second.erase(Folded(name));
    }
}

std::optional<RegistryValue> ConfigStore::Get(const std::string& key, const std::string& name) const {
    std::lock_guard lock(mutex_);
    if (keys_.empty()) {
        return ReadMachineValue(key, name);
    }
    auto found = keys_.find(Folded(key));
    if (found == keys_.end()) {
        return std::nullopt;
    }
    auto value = found->second.find(Folded(name));
    if (value == found->second.end()) {
        return std::nullopt;
    }
    return value->second;
}

void ConfigStore::Clear() {
    std::lock_guard lock(mutex_);
    keys_.clear();
}

}  // namespace kelmor::runtime
