#include "LineStation.h"
#include "Reporter.h"
#include "ResultsLog.h"

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
        r.Flush();
        std::fclose(err_);
        std::fclose(out_);
    }
    std::string Err() {
        r.Flush();
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

namespace {

// A board's output on standard error, given a display kind and the terminal's width.
struct Board {
    Board(std::vector<std::string> ports, bool terminal, int columns)
        : err(std::tmpfile()), out(std::tmpfile()),
          r(false, terminal, out, err, std::move(ports), columns) {}
    ~Board() {
        r.Flush();
        std::fclose(err);
        std::fclose(out);
    }
    std::string Err() {
        r.Flush();
        std::fflush(err);
        std::rewind(err);
        std::string s;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, err)) > 0;)
            s.append(buf, n);
        return s;
    }
    std::FILE* err;
    std::FILE* out;
    Reporter r;
};

size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

} // namespace

// On a pipe a port says once that it waits, however long; a handshake's swinging value (a run of
// its own on a board) gives two lines, not one per attempt.
TEST(CliReporter, APortThatWaitsPrintsAFewLinesOnAPipe) {
    Board b({"/dev/ttyUSB0", "/dev/ttyUSB1"}, false, 0);
    b.r.State(0, zem::PortState::kWaitingForModule, "Waiting for the module");
    for (uint32_t s = 1; s <= 3600; ++s)
        b.r.Waiting(0, s * 1000);
    b.r.Status(1, "Linking...");
    for (int i = 0; i < 1000; ++i)
        b.r.Progress(1, 1, i % 2 ? 100 : 0);
    std::string err = b.Err();
    EXPECT_EQ(Count(err, "/dev/ttyUSB0"), 1u) << err;
    EXPECT_EQ(err.find("/dev/ttyUSB0  Waiting for the module\n"), 0u) << err;
    EXPECT_EQ(Count(err, "/dev/ttyUSB1"), 3u) << err; // the status, 0 % and 100 %
}

// On a terminal every row fits one screen line, long names elided in the middle and given whole
// once above the board; a waiting port shows how long it has waited, not a bar.
TEST(CliReporter, BoardRowsFitTheTerminal) {
    const std::string longName =
        "/dev/serial/by-id/usb-FTDI_Quad_RS232-HS_FT4ABCDE_0123456789abcdef-if01-port0";
    Board b({"/dev/ttyUSB0", longName}, true, 60);
    b.r.State(0, zem::PortState::kWaitingForModule, "Waiting for the module");
    b.r.Waiting(0, 65000);
    b.r.RunStarting(1, 3);
    b.r.State(1, zem::PortState::kProgramming, "Linked");
    b.r.Status(1, "Programming...");
    b.r.Progress(1, 3, 42);
    b.r.Message(1, "a log line");
    EXPECT_EQ(b.r.RowText(0).rfind("/dev/ttyUSB0", 0), 0u);
    EXPECT_NE(b.r.RowText(0).find("Waiting for the module (1 min 05 s)"), std::string::npos)
        << b.r.RowText(0);
    EXPECT_EQ(b.r.RowText(0).find('['), std::string::npos) << "no bar while waiting";
    EXPECT_NE(b.r.RowText(1).find("...f01-port0"), std::string::npos) << b.r.RowText(1);
    std::string err = b.Err();
    EXPECT_EQ(Count(err, longName), 1u) << "the whole name once";
    // Every line the board draws fits the 60 columns.
    for (size_t at = 0, nl; (nl = err.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = err.substr(at, nl - at);
        size_t cr = line.rfind("\033[K");
        if (cr != std::string::npos) line = line.substr(cr + 3);
        if (line.find(" = ") != std::string::npos) continue; // the header's full name
        EXPECT_LT(line.size(), 60u) << line;
    }
}

TEST(CliReporter, NamesAreElidedInTheMiddle) {
    struct Row {
        const char* name;
        size_t width;
        const char* shown;
    };
    const Row rows[] = {{"COM3", 12, "COM3"},
                        {"/dev/serial/by-id/usb-X-if00-port0", 16, "/dev/s...0-port0"},
                        {"abcdef", 3, "abc"}};
    for (const Row& r : rows)
        EXPECT_EQ(Reporter::Elide(r.name, r.width), r.shown) << r.name;
}

// With a line, a terminal's board has the line's backlog as its last line: drawn with the rows,
// cut to the width, and moved over with them when they are redrawn (never left behind).
TEST(CliReporter, TheLinesBacklogStandsUnderTheBoard) {
    Board b({"/dev/ttyUSB0", "/dev/ttyUSB1"}, true, 60);
    b.r.State(0, zem::PortState::kWaitingForModule, "Waiting for the module");
    b.r.LineStatus("all results sent");
    b.r.State(1, zem::PortState::kWaitingForModule, "Waiting for the module");
    b.r.LineStatus("12 results not sent since 05:31:02 UTC");
    b.r.Message(0, "a log line");
    std::string err = b.Err();
    // Two rows and the line's status: every redraw after the first moves up over three lines.
    size_t first = err.find("Line: ");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_NE(err.find("\033[3A", first), std::string::npos) << err;
    EXPECT_EQ(err.find("\033[2A", first), std::string::npos) << err;
    size_t last = err.rfind("Line: ");
    ASSERT_NE(last, std::string::npos) << err;
    EXPECT_EQ(err.compare(last, 46, "Line: 12 results not sent since 05:31:02 UTC\n"), 0) << err;
    EXPECT_LT(err.rfind("/dev/ttyUSB1"), last) << "the status under the rows";
    EXPECT_EQ(b.r.LineStatusText(), "12 results not sent since 05:31:02 UTC");

    // A pipe's lines stay the ports' own.
    Board pipe({"/dev/ttyUSB0"}, false, 0);
    pipe.r.LineStatus("3 results not sent since 05:31:02 UTC");
    EXPECT_EQ(pipe.Err().find("Line: "), std::string::npos);
}

TEST(CliReporter, BacklogTextSaysHowManyAndSince) {
    std::string today = zem::UtcNowIso().substr(0, 10);
    struct Case {
        size_t unsent;
        std::string oldest;
        std::string text;
    };
    const Case cases[] = {
        {0, "", "all results sent"},
        {1, today + "T05:31:02.123Z", "1 result not sent since 05:31:02 UTC"},
        {40, today + "T23:59:59.999Z", "40 results not sent since 23:59:59 UTC"},
        {3, "2001-02-03T04:05:06.000Z", "3 results not sent since 2001-02-03 04:05:06 UTC"},
        {2, "", "2 results not sent"},
    };
    for (const Case& c : cases) {
        zem::LineBacklog b;
        b.unsent = c.unsent;
        b.oldest = c.oldest;
        EXPECT_EQ(zem::BacklogText(b), c.text) << c.oldest;
    }
}
