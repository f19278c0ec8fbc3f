#include "LineSession.h"

#include "Digest.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace zem::cli {

namespace {
constexpr uint32_t kDrainAtEndMs = 10000;

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}
} // namespace

void LineSession::Say(const std::string& text) {
    std::lock_guard lock(sayMutex_);
    std::fprintf(err_, "zemcli: %s\n", text.c_str());
    std::fflush(err_);
}

int LineSession::Begin(const LineOptions& o, const std::string& stream,
                       const std::string& resultsPath, std::FILE* err) {
    err_ = err;
    o_ = o;
    if (o.url.empty()) return 0;
    url_ = o.url;
    LineLink link;
    link.url = o.url;
    link.caFile = o.trust.caFile;
    link.certFile = o.trust.certFile;
    link.keyFile = o.trust.keyFile;
    if (!o.tokenFile.empty()) {
        std::ifstream in(o.tokenFile);
        std::string token((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) token.clear();
        link.token = Trimmed(token);
        if (link.token.empty()) {
            Say("no station token in " + o.tokenFile);
            return 2;
        }
    } else if (const char* env = std::getenv("ZEM_LINE_TOKEN"); env && *env) {
        link.token = Trimmed(env);
    } else {
        Say("--line needs the station's token: --line-token-file FILE or ZEM_LINE_TOKEN");
        return 2;
    }
    if (resultsPath.empty()) {
        Say("--line needs --results FILE: the results log is what the station sends");
        return 2;
    }
    // The job is the stream's SHA-256: the bytes the operator chose, not its name.
    std::ifstream in(stream, std::ios::binary);
    if (!in) {
        Say("can not read the stream file " + stream);
        return 4;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::string sha = Sha256Hex(bytes.data(), bytes.size());
    std::string error;
    int found = LookUpJob(link, sha, HttpExchange, job_, error);
    if (found < 0) {
        Say(error);
        return 2;
    }
    if (found == 0) {
        Say("stream " + stream + " is not a released job on " + o.url);
        return 2;
    }
    if (job_.retired) {
        Say("stream " + stream + " is job " + job_.name + ", retired on " + o.url);
        return 2;
    }
    if (job_.quantity >= 0 && job_.programmed >= job_.quantity) {
        Say("job " + job_.name + ": its " + std::to_string(job_.quantity) +
            " modules are programmed");
        return 2;
    }
    Say("job " + job_.name + " (" + sha.substr(0, 12) + ")" +
        (job_.quantity >= 0 ? ", " + std::to_string(job_.programmed) + " of " +
                                  std::to_string(job_.quantity) + " programmed"
                            : std::string()));
    LineForwarder::Options fo;
    fo.logPath = resultsPath;
    fo.link = link;
    fo.jobSha256 = sha;
    std::error_code ec;
    auto size = std::filesystem::file_size(resultsPath, ec);
    fo.sessionStart = ec ? 0 : size;
    forwarder_ =
        std::make_unique<LineForwarder>(fo, HttpExchange, [this](const std::string& t) { Say(t); });
    forwarder_->SetJobOthers(job_.programmed);
    forwarder_->Start();
    link_ = link;
    sha_ = sha;
    return 0;
}

LineStatus* LineSession::StartStatus(const std::vector<std::string>& ports) {
    if (!forwarder_) return nullptr;
    LineStatus::Options so;
    so.link = link_;
    so.ports = ports;
    so.job = job_.name;
    so.jobSha256 = sha_;
    so.backlog = [f = forwarder_.get()] { return f->Backlog(); };
    status_ = std::make_unique<LineStatus>(so, HttpExchange);
    status_->Start();
    return status_.get();
}

std::string LineSession::HoldText() const {
    if (!forwarder_ || o_.maxUnsent < 0) return {};
    LineBacklog b = forwarder_->Backlog();
    // The forwarder looks at the log now and then; the results this station just wrote count at
    // once, so that a fast module does not slip past the hold.
    unsigned long long written = resultsHere_.load(), acked = forwarder_->AckedInSession();
    size_t unsent = std::max<size_t>(b.unsent, written > acked ? written - acked : 0);
    if (static_cast<long long>(unsent) <= o_.maxUnsent) return {};
    return "Held: " + std::to_string(unsent) + " results not yet on the line" +
           (b.oldest.empty() ? std::string() : " since " + b.oldest);
}

bool LineSession::OnResult(bool programmed) {
    resultsHere_.fetch_add(1);
    if (!forwarder_ || job_.quantity < 0) return false;
    long long here = programmed ? programmedHere_.fetch_add(1) + 1 : programmedHere_.load();
    if (forwarder_->JobOthers() + here < job_.quantity) return false;
    if (!quantitySaid_.exchange(true))
        Say("job " + job_.name + ": its " + std::to_string(job_.quantity) +
            " modules are programmed; no new module starts");
    return true;
}

void LineSession::End() {
    if (!forwarder_) return;
    bool drained = forwarder_->Drain(kDrainAtEndMs);
    // The last state (every port done, the backlog as it ends) goes before the forwarder stops.
    if (status_) status_->Stop();
    status_.reset();
    forwarder_->Stop();
    if (drained) return;
    LineBacklog b = forwarder_->Backlog();
    Say(std::to_string(b.unsent) + " results not yet on the line " + url_ + " (the oldest of " +
        b.oldest + "); they stay in the results log and go at the next start with --line");
}

} // namespace zem::cli
