#include "Reporter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using zem::cli::Reporter;

namespace {

// What a reporter wrote to standard error, given a display kind.
class Display {
public:
    explicit Display(bool terminal)
        : err_(std::tmpfile()), out_(std::tmpfile()), r(false, terminal, out_, err_) {}
    ~Display() {
        std::fclose(err_);
        std::fclose(out_);
    }
    std::string Err() {
        std::fflush(err_);
        std::rewind(err_);
        std::string s;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, err_)) > 0;)
            s.append(buf, n);
        return s;
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> v;
        std::string s = Err();
        for (size_t at = 0, nl; (nl = s.find('\n', at)) != std::string::npos; at = nl + 1)
            v.push_back(s.substr(at, nl - at));
        return v;
    }

private:
    std::FILE* err_;
    std::FILE* out_;

public:
    Reporter r;
};

// The callbacks of a module that never answers the handshake, then of a run that programs.
void SilentThenRun(Reporter& r) {
    r.Status("Linking...");
    r.Progress(1, 0);
    for (int i = 0; i < 1000; ++i)
        r.Progress(1, i % 2 ? 0 : 100);
    r.Status("Linked");
    r.Progress(2, 100);
    r.Status("Programming...");
    for (int p = 0; p <= 99; ++p)
        r.Progress(3, p);
    r.Status("Programmed");
    r.Progress(4, 100);
}

} // namespace

TEST(CliReporter, PlainLinesComeOncePerStatusAndTenthOfProgress) {
    Display d(false);
    SilentThenRun(d.r);
    std::vector<std::string> expected = {"Linking...", "Linking... 0%", "Linking... 100%",
                                         "Linked",     "Linked 100%",   "Programming..."};
    for (int p = 0; p <= 90; p += 10)
        expected.push_back("Programming... " + std::to_string(p) + "%");
    expected.insert(expected.end(), {"Programmed", "Programmed 100%"});
    EXPECT_EQ(d.Lines(), expected);
}

TEST(CliReporter, TerminalBarStillFollowsEveryChange) {
    Display d(true);
    SilentThenRun(d.r);
    std::string err = d.Err();
    size_t redraws = 0;
    for (size_t at = 0; (at = err.find('\r', at)) != std::string::npos; ++at)
        ++redraws;
    // Every swing of the handshake and every percent of the run redraws the bar.
    EXPECT_GT(redraws, 1100u);
    EXPECT_NE(err.find("] 100% Programmed"), std::string::npos);
}
