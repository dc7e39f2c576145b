#include "json.h"

#include <cstdio>

namespace kelmor::host {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void JsonLine::Name(std::string_view name) {
    if (!body_.empty()) {
        body_ += ",";
    }
    body_ += JsonString(name) + ":";
}

JsonLine& JsonLine::Field(std::string_view name, std::string_view text) {
    Name(name);
    body_ += JsonString(text);
    return *this;
}

JsonLine& JsonLine::Field(std::string_view name, int64_t number) {
    Name(name);
    body_ += std::to_string(number);
    return *this;
}

JsonLine& JsonLine::Field(std::string_view name, bool flag) {
    Name(name);
    body_ += flag ? "true" : "false";
    return *this;
}

}  // namespace kelmor::host
