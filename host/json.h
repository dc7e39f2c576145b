// Just enough JSON to write one event per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelmor::host {

// text as a JSON string, quotes included; bytes outside printable ASCII as \u00XX.
std::string JsonString(std::string_view text);

// Builds {"a":1,"b":"x"} field by field.
class JsonLine {
public:
    JsonLine& Field(std::string_view name, std::string_view text);
    JsonLine& Field(std::string_view name, const char* text) { return Field(name, std::string_view(text)); }
    JsonLine& Field(std::string_view name, int64_t number);
    JsonLine& Field(std::string_view name, bool flag);
    std::string Text() const { return body_.empty() ? "{}" : "{" + body_ + "}"; }

private:
    void Name(std::string_view name);
    std::string body_;
};

}  // namespace kelmor::host
