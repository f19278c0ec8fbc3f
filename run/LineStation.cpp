#include "LineStation.h"
#include "ExitCodes.h"

#include "Digest.h"
#include "ResultsLog.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zem {

namespace {

std::string Trimmed(std::string s) {
    size_t end = s.find_first_of("\r\n");
    if (end != std::string::npos) s.resize(end);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    size_t begin = s.find_first_not_of(" \t");
    return begin == std::string::npos ? std::string() : s.substr(begin);
}

} // namespace

bool ReadLineToken(const std::string& tokenFile, std::string& token, std::string& error) {
    token.clear();
    if (!tokenFile.empty()) {
        std::ifstream in(tokenFile, std::ios::binary);
        if (!in) {
            error = "can not read the station token file " + tokenFile;
            return false;
        }
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        token = Trimmed(text);
        if (token.empty()) error = "no station token in " + tokenFile;
        return !token.empty();
    }
    if (const char* env = std::getenv("ZEM_LINE_TOKEN"); env && *env) token = Trimmed(env);
    if (token.empty()) error = "no station token given";
    return !token.empty();
}

namespace {

// " since 05:31:02 UTC" for a station's time (UTC "YYYY-MM-DDTHH:MM:SS.mmmZ"), with its day when
// that is not today's; empty for none.
std::string Since(const std::string& t) {
    if (t.size() >= 19 && t[10] == 'T') {
        std::string today = UtcNowIso().substr(0, 10);
        return " since " + (t.compare(0, 10, today) == 0 ? std::string() : t.substr(0, 10) + " ") +
               t.substr(11, 8) + " UTC";
    }
    return t.empty() ? std::string() : " since " + t;
}

} // namespace

std::string BacklogText(const LineBacklog& b) {
    if (b.unsent == 0) return "all results sent";
    return std::to_string(b.unsent) + (b.unsent == 1 ? " result" : " results") + " not sent" +
           Since(b.oldest);
}

LineStation::LineStation() = default;

LineStation::~LineStation() {
    if (status_) status_->Stop();
    if (forwarder_) forwarder_->Stop();
}

void LineStation::Say(const std::string& text) {
    if (say_) say_(text);
}

int LineStation::Begin(const Config& config, const std::string& stream, SayFunction say,
                       std::string& error, HttpFunction http) {
    c_ = config;
    say_ = std::move(say);
    if (c_.link.url.empty()) return 0;
    // The job is the stream's SHA-256: the bytes the operator chose, not its name.
    std::ifstream in(stream, std::ios::binary);
    if (!in) {
        error = "can not read the stream file " + stream;
        return exitcode::kStreamMissing;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    std::string sha = Sha256Hex(bytes.data(), bytes.size());
    int found = LookUpJob(c_.link, sha, http, job_, error);
    if (found < 0) return exitcode::kRefused;
    const std::string& url = c_.link.url;
    if (found == 0) {
        error = "stream " + stream + " is not a released job on " + url;
        return exitcode::kRefused;
    }
    if (job_.retired) {
        error = "stream " + stream + " is job " + job_.name + ", retired on " + url;
        return exitcode::kRefused;
    }
    if (job_.quantity >= 0 && job_.programmed >= job_.quantity) {
        error = "job " + job_.name + ": its " + std::to_string(job_.quantity) +
                " modules are programmed";
        return exitcode::kRefused;
    }
    Say("job " + job_.name + " (" + sha.substr(0, 12) + ")" +
        (job_.quantity >= 0 ? ", " + std::to_string(job_.programmed) + " of " +
                                  std::to_string(job_.quantity) + " programmed"
                            : std::string()));
    LineForwarder::Options fo;
    fo.logPath = c_.resultsPath;
    fo.link = c_.link;
    fo.jobSha256 = sha;
    fo.backlogChanged = c_.backlogChanged;
    std::error_code ec;
    auto size = std::filesystem::file_size(c_.resultsPath, ec);
    fo.sessionStart = ec ? 0 : size;
    sha_ = sha;
    http_ = http;
    forwarder_ = std::make_unique<LineForwarder>(fo, std::move(http),
                                                 [this](const std::string& t) { Say(t); });
    forwarder_->SetJobOthers(job_.programmed);
    forwarder_->Start();
    return 0;
}

LineBacklog LineStation::Unsent() const {
    if (!forwarder_) return {};
    LineBacklog b = forwarder_->Backlog();
    // The forwarder looks at the log now and then; the results this station just wrote count at
    // once, so that a fast module does not slip past the hold and the board is never behind.
    uint64_t acked = forwarder_->AckedInSession();
    std::lock_guard lock(mutex_);
    if (writtenAt_.size() > acked) {
        size_t mine = writtenAt_.size() - static_cast<size_t>(acked);
        if (mine > b.unsent) b.unsent = mine;
        const std::string& first = writtenAt_[static_cast<size_t>(acked)];
        if (b.oldest.empty() || first < b.oldest) b.oldest = first;
    }
    return b;
}

std::string LineStation::HoldText() const {
    if (!forwarder_) return {};
    if (job_.quantity >= 0) {
        long long programmed = forwarder_->JobOthers() + programmedHere_.load();
        size_t running;
        {
            std::lock_guard lock(mutex_);
            running = underWay_.size();
        }
        if (programmed < job_.quantity &&
            programmed + static_cast<long long>(running) >= job_.quantity)
            return "Held: job " + job_.name + " has " + std::to_string(programmed) + " of " +
                   std::to_string(job_.quantity) + " modules programmed and " +
                   std::to_string(running) + " under way";
    }
    if (c_.maxUnsent < 0) return {};
    LineBacklog b = Unsent();
    if (static_cast<long long>(b.unsent) <= c_.maxUnsent) return {};
    return "Held: " + std::to_string(b.unsent) + " results not yet on the line" + Since(b.oldest);
}

void LineStation::OnRunStarting(size_t slot) {
    std::lock_guard lock(mutex_);
    if (std::find(underWay_.begin(), underWay_.end(), slot) == underWay_.end())
        underWay_.push_back(slot);
}

bool LineStation::OnResult(size_t slot, bool programmed) {
    {
        std::lock_guard lock(mutex_);
        writtenAt_.push_back(UtcNowIso());
        underWay_.erase(std::remove(underWay_.begin(), underWay_.end(), slot), underWay_.end());
    }
    if (!forwarder_ || job_.quantity < 0) return false;
    long long here = programmed ? programmedHere_.fetch_add(1) + 1 : programmedHere_.load();
    if (forwarder_->JobOthers() + here < job_.quantity) return false;
    if (!quantitySaid_.exchange(true))
        Say("job " + job_.name + ": its " + std::to_string(job_.quantity) +
            " modules are programmed; no new module starts");
    return true;
}

LineStatus* LineStation::StartStatus(const std::vector<std::string>& ports) {
    if (!forwarder_) return nullptr;
    LineStatus::Options so;
    so.link = c_.link;
    so.ports = ports;
    so.job = job_.name;
    so.jobSha256 = sha_;
    so.backlog = [this] { return Unsent(); };
    status_ = std::make_unique<LineStatus>(so, http_);
    status_->Start();
    return status_.get();
}

bool LineStation::End(uint32_t drainMs) {
    if (!forwarder_) return true;
    bool drained = forwarder_->Drain(drainMs);
    // The last state (every port done, the backlog as it ends) goes before the forwarder stops.
    if (status_) status_->Stop();
    status_.reset();
    forwarder_->Stop();
    return drained;
}

} // namespace zem
