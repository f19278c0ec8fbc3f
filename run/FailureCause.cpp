#include "FailureCause.h"

#include "Format.h"
#include "Texts.h"

#include <cstdio>
#include <cstring>

namespace zem {

namespace {
bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// "(0x00000000 - 0x0000001F)" out of a protocol text; empty when it has none.
std::string RangeOf(const std::string& text) {
    size_t open = text.find("(0x");
    size_t close = text.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return {};
    return text.substr(open + 1, close - open - 1);
}
} // namespace

FailureWatch::FailureWatch()
    : watch_([this](const char* tag, const char* text) { Hear(tag, text); }) {}

void FailureWatch::Hear(const char* tag, const char* text) {
    std::string t = text;
    if (std::strcmp(tag, "Fail") == 0) {
        if (firstFail_.empty()) firstFail_ = t;
        return;
    }
    if (std::strcmp(tag, "Debug") != 0 || !firstFail_.empty()) return;
    unsigned b = 0;
    if (std::sscanf(text, "WaitForACK NACK (0x%2X)", &b) == 1) {
        nack_ = static_cast<int>(b);
        diagnostic_.clear();
    } else if (nack_ >= 0 && std::sscanf(text, "DbgAnsw: 0x%2X", &b) == 1) {
        diagnostic_.push_back(static_cast<uint8_t>(b));
    } else if (StartsWith(t, "WaitForACK OK")) {
        nack_ = -1; // a refusal the module took back (a sync byte retried)
        diagnostic_.clear();
    }
}

std::string FailureWatch::Cause() const {
    std::string answer;
    if (nack_ >= 0) {
        answer = Format("0x%02X", static_cast<unsigned>(nack_));
        if (!diagnostic_.empty()) {
            answer += ", diagnostic bytes";
            for (uint8_t d : diagnostic_)
                answer += Format(" 0x%02X", static_cast<unsigned>(d));
        }
    }
    const std::string& f = firstFail_;
    std::string range = RangeOf(f);
    if (StartsWith(f, "FPL_SendStream error rx") && !range.empty())
        return answer.empty() ? "no answer to the record at " + range
                              : "the module refused the record at " + range + " with " + answer;
    if (StartsWith(f, "FPL_SendStream answers out of step")) return txt::kAnswersOutOfStep;
    if (StartsWith(f, "FPL_SendStream error tx") && !range.empty())
        return "the record at " + range + " could not be sent";
    if (StartsWith(f, "FPL_Boot timeout"))
        return answer.empty() ? "no boot loader answered the handshake"
                              : "the boot loader refused the handshake with " + answer;
    if (StartsWith(f, "FPL_Boot boot not implemented"))
        return "the stream's boot type is not one this programmer knows";
    if (StartsWith(f, "FPL_ReceiveData")) return "the read-back failed: " + f;
    if (f.empty() && !answer.empty()) return "the module answered " + answer;
    return f;
}

} // namespace zem
