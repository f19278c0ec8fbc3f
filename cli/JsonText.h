#pragma once
#include "Format.h"

#include <nlohmann/json.hpp>

#include <string>

namespace zem::cli {

// One JSON document on one line, as zemcli prints it. The serializer escapes C0 controls and
// replaces invalid UTF-8; DEL and the C1 controls (U+0080 to U+009F) it leaves raw, so they are
// escaped here: like the text output, nothing a file or a device carries reaches the terminal as
// a control character. They can only stand inside strings, so the document stays valid.
inline std::string JsonText(const nlohmann::json& j) {
    const std::string raw = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == 0x7F) {
            out += "\\u007f";
        } else if (c == 0xC2 && i + 1 < raw.size() &&
                   static_cast<unsigned char>(raw[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(raw[i + 1]) <= 0x9F) {
            out += Format("\\u%04x", static_cast<unsigned char>(raw[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace zem::cli
