#include "Reporter.h"

#include <nlohmann/json.hpp>

namespace zem::cli {

namespace {
void Line(std::FILE* f, const nlohmann::json& j) {
    std::fprintf(f, "%s\n",
                 j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(f);
}
} // namespace

std::string JsonString(const std::string& s) {
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Reporter::EndBar() {
    if (barShown_) {
        std::fputc('\n', err_);
        barShown_ = false;
    }
}

void Reporter::Status(const std::string& text) {
    if (text == status_) return;
    status_ = text;
    printedTenth_ = -1;
    if (json_) {
        Line(out_, {{"event", "status"}, {"status", text}});
        return;
    }
    if (terminal_) {
        Progress(-1, percent_ < 0 ? 0 : percent_); // redraw the bar with the new text
        return;
    }
    std::fprintf(err_, "%s\n", text.c_str());
    std::fflush(err_);
}

void Reporter::Progress(int code, int percent) {
    bool redraw = code < 0;
    if (!redraw && percent == percent_) return;
    percent_ = percent;
    if (json_) {
        Line(out_, {{"event", "progress"}, {"code", code}, {"percent", percent}});
        return;
    }
    if (terminal_) {
        constexpr int kWidth = 40;
        int filled = percent * kWidth / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::fprintf(err_, "\r\033[K[%s] %3d%% %s", bar.c_str(), percent, status_.c_str());
        barShown_ = true;
    } else {
        int tenth = percent / 10;
        if (tenth <= printedTenth_) return;
        printedTenth_ = tenth;
        std::fprintf(err_, "%s %d%%\n", status_.c_str(), percent);
    }
    std::fflush(err_);
}

void Reporter::Message(const std::string& text) {
    if (json_) {
        Line(out_, {{"event", "message"}, {"text", text}});
        return;
    }
    EndBar();
    std::fprintf(err_, "%s\n", text.c_str());
    std::fflush(err_);
}

void Reporter::Result(int exitCode, const std::string& status, uint32_t elapsedMs,
                      const std::vector<std::string>& dumps) {
    if (json_) {
        Line(out_, {{"event", "result"},
                    {"exit_code", exitCode},
                    {"status", status},
                    {"elapsed_ms", elapsedMs},
                    {"dumps", dumps}});
        return;
    }
    EndBar();
    std::fprintf(err_, "%s (exit code %d, %.1f s)\n", status.c_str(), exitCode, elapsedMs / 1000.0);
    for (const auto& d : dumps)
        std::fprintf(err_, "dump file: %s\n", d.c_str());
    std::fflush(err_);
}

} // namespace zem::cli
