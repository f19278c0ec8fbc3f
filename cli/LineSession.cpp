#include "LineSession.h"
#include "ExitCodes.h"

namespace zem::cli {

namespace {
constexpr uint32_t kDrainAtEndMs = 10000;
} // namespace

void LineSession::Say(const std::string& text) {
    std::lock_guard lock(sayMutex_);
    std::fprintf(err_, "zemcli: %s\n", text.c_str());
    std::fflush(err_);
}

int LineSession::Begin(const LineOptions& o, const std::string& stream,
                       const std::string& resultsPath, std::FILE* err) {
    err_ = err;
    if (o.url.empty()) return 0;
    url_ = o.url;
    LineStation::Config c;
    c.link.url = o.url;
    c.link.caFile = o.trust.caFile;
    c.link.certFile = o.trust.certFile;
    c.link.keyFile = o.trust.keyFile;
    c.maxUnsent = o.maxUnsent;
    c.resultsPath = resultsPath;
    std::string error;
    if (!ReadLineToken(o.tokenFile, c.link.token, error)) {
        Say(o.tokenFile.empty()
                ? "--line needs the station's token: --line-token-file FILE or ZEM_LINE_TOKEN"
                : error);
        return exitcode::kRefused;
    }
    if (resultsPath.empty()) {
        Say("--line needs --results FILE: the results log is what the station sends");
        return exitcode::kRefused;
    }
    int code = line_.Begin(
        c, stream, [this](const std::string& t) { Say(t); }, error);
    if (code != 0) Say(error);
    return code;
}

void LineSession::End() {
    if (!line_.Active() || line_.End(kDrainAtEndMs)) return;
    LineBacklog b = line_.Unsent();
    Say(std::to_string(b.unsent) + " results not yet on the line " + url_ + " (the oldest of " +
        b.oldest + "); they stay in the results log and go at the next start with --line");
}

} // namespace zem::cli
