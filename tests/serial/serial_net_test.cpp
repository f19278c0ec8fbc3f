// The network sort of the serial channel, driven through stand-ins for the network serial library
// that this test folder builds.
#include "DynLib.h"
#include "FakeServer.h"
#include "NetSerial.h"
#include "OpenChannel.h"
#include "SerialTestUtil.h"
#include "TSerial.h"
#include "nsio_standin.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

using Calls = std::vector<std::string>;

namespace {

// Holds its own reference to a stand-in, so that its record survives the channel's unloading.
class Standin {
public:
    explicit Standin(const std::string& path) {
        EXPECT_TRUE(lib_.Load(path)) << path;
        auto fn = reinterpret_cast<StandinStateFn>(lib_.Symbol("standin_state"));
        EXPECT_NE(fn, nullptr);
        state_ = fn ? fn() : nullptr;
        if (state_) state_->Reset();
    }
    bool Ok() const { return state_ != nullptr; }
    StandinState& operator*() { return *state_; }
    StandinState* operator->() { return state_; }

private:
    zem::DynLib lib_;
    StandinState* state_ = nullptr;
};

std::string ExeDir() {
    return fs::canonical("/proc/self/exe").parent_path().string();
}

std::unique_ptr<TSerial> OpenNet(const std::string& library, const char* address = "127.0.0.1",
                                 int port = 950) {
    return std::make_unique<TSerial>(20, "MOXA", 0, library.c_str(), address, port);
}

class SerialNet : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(standin.Ok()); }

    // Control calls after the ones made while opening.
    Calls CallsSinceOpen() {
        Calls c = standin->Calls();
        return Calls(c.begin() + static_cast<long>(std::min<size_t>(c.size(), 5)), c.end());
    }

    ScopedTestDir dir;
    Standin standin{STANDIN_OK};
};

} // namespace

TEST_F(SerialNet, ConstructorFailures) {
    WriteFileBytes("not-a-library.so", "this is text, not a library\n");
    Standin noInit(STANDIN_NO_INIT);
    Standin noLstatus(STANDIN_NO_LSTATUS);
    struct Case {
        const char* what;
        std::string library;
        const char* address;
        int openResult;
        const char* message;
        std::string cause;   // what the operator is told, up to its first variable part
        StandinState* state; // whose calls to look at
        Calls calls;         // after destruction
    };
    const Case cases[] = {
        {"missing file",
         dir.File("no-such-library.so"),
         "127.0.0.1",
         7,
         "TSerial::TSerial - Can not open DLL",
         "network library " + dir.File("no-such-library.so") + " not found",
         &*standin,
         {}},
        {"bare name found elsewhere only",
         "libc.so.6",
         "127.0.0.1",
         7,
         "TSerial::TSerial - Can not open DLL",
         "network library libc.so.6 not found in ",
         &*standin,
         {}},
        {"not a library",
         dir.File("not-a-library.so"),
         "127.0.0.1",
         7,
         "TSerial::TSerial - Can not load DLL",
         "network library " + dir.File("not-a-library.so") + " does not load: ",
         &*standin,
         {}},
        {"first entry point missing",
         STANDIN_NO_INIT,
         "127.0.0.1",
         7,
         "TSerial::TSerial - Can not import function from dll",
         std::string("network library ") + STANDIN_NO_INIT + " lacks one of its functions",
         &*noInit,
         {}},
        {"last entry point missing",
         STANDIN_NO_LSTATUS,
         "127.0.0.1",
         7,
         "TSerial::TSerial - Can not import function from dll",
         std::string("network library ") + STANDIN_NO_LSTATUS + " lacks one of its functions",
         &*noLstatus,
         {}},
        {"host lookup",
         STANDIN_OK,
         "",
         7,
         "TSerial::TSerial - Function gethostbyname fail",
         "host not found: ",
         &*standin,
         {"init"}},
        // A port that never opened is neither closed nor ended.
        {"open refused",
         STANDIN_OK,
         "127.0.0.1",
         -4,
         "TSerial::TSerial - Bad IPPortId",
         "connection lost",
         &*standin,
         {"init", "open 127.0.0.1 950 3000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.state->Reset();
        c.state->openResult = c.openResult;
        {
            auto ch = OpenNet(c.library, c.address);
            EXPECT_FALSE(ch->IsInited());
            EXPECT_EQ(ch->kind, kChannelSerial);
            EXPECT_TRUE(Logged("Log", c.message));
            EXPECT_EQ(ch->OpenFailure().substr(0, c.cause.size()), c.cause) << ch->OpenFailure();
            EXPECT_TRUE(ch->Configure("9600", "N81", "N"));
            EXPECT_EQ(ch->SetLines(3), -2) << "no library port to ask";
        }
        EXPECT_EQ(c.state->Calls(), c.calls);
        EXPECT_EQ(c.state->Get(&StandinState::readCalls), 0) << "no service thread ran";
    }
}

TEST_F(SerialNet, OpensWithItsDefaultsThenTakesTheWindowsFlow) {
    {
        auto ch = OpenNet(STANDIN_OK, "localhost", 950);
        ASSERT_TRUE(ch->IsInited());
        EXPECT_TRUE(ch->IsNetwork());
        EXPECT_EQ(standin->Calls(), (Calls{"init", "open 127.0.0.1 950 3000", "ioctl 7 16 3",
                                           "ioctl 7 16 3", "flowctrl 7 3"}));
        EXPECT_STREQ(ch->StoredSpeed(), "115200");
        EXPECT_STREQ(ch->StoredFormat(), "N81");
        EXPECT_STREQ(ch->StoredFlow(), "H");
        EXPECT_EQ(ch->NetBaud(), 16u);
        EXPECT_EQ(ch->NetMode(), 3u);
        EXPECT_TRUE(Logged("Log", "Port 127.0.0.1:950 opened"));

        EXPECT_FALSE(ch->Configure("", "", "N"));
        EXPECT_EQ(CallsSinceOpen(), (Calls{"flowctrl 7 0", "RTS 7 1", "DTR 7 1"}));
        uint32_t lines = 0;
        ch->GetLines(&lines);
        EXPECT_EQ(lines & 3u, 3u);
        // Later settings reach the library only where they differ from the stored texts.
        EXPECT_FALSE(ch->Configure("921600", "N81", "N"));
        EXPECT_EQ(standin->Calls().back(), "DTR 7 1");
        EXPECT_EQ(CallsSinceOpen().at(3), "ioctl 7 19 3");
    }
    EXPECT_EQ(CallsSinceOpen().back(), "end");
    EXPECT_EQ(*(CallsSinceOpen().end() - 2), "close 7");
}

TEST_F(SerialNet, SpeedCodesAndFormatWords) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());
    const std::pair<const char*, int> speeds[] = {
        {"50", 0},      {"75", 1},     {"110", 2},       {"134", 3},     {"150", 4},
        {"300", 5},     {"600", 6},    {"1200", 7},      {"1800", 16},   {"2400", 9},
        {"4800", 10},   {"7200", 11},  {"9600", 12},     {"14400", 16},  {"19200", 13},
        {"38400", 14},  {"57600", 15}, {"115200", 16},   {"230400", 17}, {"460800", 18},
        {"921600", 19}, {"abc", 16},   {"9600baud", 12}, {" 4800", 10},  {"-9600", 16},
    };
    for (const auto& [text, code] : speeds) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ch->SetSpeed(text), 0);
        EXPECT_EQ(ch->NetBaud(), static_cast<uint32_t>(code));
        EXPECT_EQ(standin->Calls().back(), "ioctl 7 " + std::to_string(code) + " 3");
    }

    ASSERT_EQ(ch->SetSpeed("9600"), 0);
    const std::pair<const char*, int> formats[] = {
        {"E71", 0x0A}, {"N82", 0x07}, {"O5x", 0x10}, {"M61", 0x19}, {"N81", 0x03},
        {"O72", 0x16}, {"e81", 0x03}, {"N91", 0x03}, {"E", 0x0B},   {"", 0x03},
    };
    for (const auto& [text, mode] : formats) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ch->SetFormat(text), 0);
        EXPECT_EQ(ch->NetMode(), static_cast<uint32_t>(mode));
        EXPECT_EQ(standin->Calls().back(), "ioctl 7 12 " + std::to_string(mode));
    }
    EXPECT_EQ(ch->SetFormat(nullptr), 0);
    EXPECT_EQ(ch->NetMode(), 3u);
}

TEST_F(SerialNet, RefusalsOfTheLibrary) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());

    standin->ioctlResult = 1;
    EXPECT_EQ(ch->SetSpeed("9600"), -1);
    EXPECT_EQ(ch->NetBaud(), 12u) << "the new code is kept";
    EXPECT_EQ(ch->SetFormat("E71"), -1);
    EXPECT_EQ(ch->NetMode(), 0x0Au);
    EXPECT_TRUE(Logged("Log", "TSerial::Configure -3"));
    EXPECT_TRUE(ch->Configure("57600", "N81", "N"));
    EXPECT_TRUE(Logged("Log", "TChannel::Configure - Can not set speed"));
    standin->ioctlResult = 0;

    standin->flowResult = -1;
    EXPECT_EQ(ch->SetFlow("H"), -1);
    EXPECT_TRUE(Logged("Log", "TSerial::SetFlow - Can not SetCommState -13"));
    standin->flowResult = 0;

    standin->rtsResult = -1;
    EXPECT_EQ(ch->SetFlow("N"), -3);
    EXPECT_TRUE(Logged("Log", "TSerial::SetFlow - can not set RTS"));
}

TEST_F(SerialNet, LineRequestsStopAtTheFirstRefusal) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());
    auto since = [&](size_t from) {
        Calls c = standin->Calls();
        return Calls(c.begin() + static_cast<long>(from), c.end());
    };

    size_t n = standin->Calls().size();
    standin->rtsResult = 5;
    EXPECT_EQ(ch->SetLines(3), -2);
    EXPECT_EQ(since(n), (Calls{"RTS 7 1"})) << "DTR is not tried after RTS failed";
    uint32_t lines = 0;
    ch->GetLines(&lines);
    EXPECT_EQ(lines & 3u, 3u) << "both recorded all the same";

    standin->rtsResult = 0;
    standin->dtrResult = -1;
    n = standin->Calls().size();
    EXPECT_EQ(ch->ClearLines(3), -3);
    EXPECT_EQ(since(n), (Calls{"RTS 7 0", "DTR 7 0"}));
    ch->GetLines(&lines);
    EXPECT_EQ(lines & 3u, 0u);
    EXPECT_EQ(ch->SetFlow("N"), -4);
    EXPECT_TRUE(Logged("Log", "TSerial::SetFlow - can not set DTR"));
    EXPECT_EQ(ch->SetLines(0x7C), 0) << "only bits 0 and 1 count";
    ch->GetLines(&lines);
    EXPECT_EQ(lines & ~0x3Cu, 3u);
}

TEST_F(SerialNet, DefaultsRefusedLeaveTheChannelClosedButItsPortOpen) {
    standin->flowResult = -1;
    {
        auto ch = OpenNet(STANDIN_OK);
        EXPECT_FALSE(ch->IsInited());
        EXPECT_TRUE(Logged("Log", "TChannel::Configure - Can not set flow"));
        EXPECT_FALSE(Logged("Log", "Port 127.0.0.1:950 opened"));
    }
    Calls c = standin->Calls();
    ASSERT_GE(c.size(), 2u);
    EXPECT_EQ(c[c.size() - 2], "close 7");
    EXPECT_EQ(c.back(), "end");
}

TEST_F(SerialNet, ServiceThreadMovesBytesAndModemLines) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());
    EXPECT_FALSE(ch->WaitsInLibrary()) << "eleven entry points: the plain pass loop";
    uint32_t lines = 0;
    auto inputs = [&] {
        ch->GetLines(&lines);
        return lines & 0x3Cu;
    };
    standin->Set(&StandinState::lstatus, 0x05); // CTS and RING
    EXPECT_TRUE(WaitFor([&] { return inputs() == (kLineCTS | kLineRING); }));
    standin->Set(&StandinState::lstatus, 0x0A); // DSR and DCD
    EXPECT_TRUE(WaitFor([&] { return inputs() == (kLineDSR | kLineDCD); }));

    // More than a ring's worth each way, written by the library in small pieces.
    const std::string in = Pattern(1, 40000), out = Pattern(2, 40000);
    {
        std::lock_guard<std::mutex> l(standin->m);
        standin->input = in;
        standin->maxWrite = 1000;
    }
    std::string got;
    size_t sent = 0;
    char buf[3000];
    EXPECT_TRUE(WaitFor([&] {
        int k = ch->Write(out.data() + sent, static_cast<int>(out.size() - sent));
        if (k > 0) sent += static_cast<size_t>(k);
        k = ch->Read(buf, sizeof buf);
        if (k > 0) got.append(buf, static_cast<size_t>(k));
        std::lock_guard<std::mutex> l(standin->m);
        return got.size() == in.size() && standin->output.size() == out.size();
    }));
    EXPECT_TRUE(got == in);
    {
        std::lock_guard<std::mutex> l(standin->m);
        EXPECT_TRUE(standin->output == out);
    }

    // A library without a wait of its own may answer a read of a dead connection with "nothing";
    // a line status it cannot give ends the port, after what it still held is read, and keeps
    // the last lines.
    {
        std::lock_guard<std::mutex> l(standin->m);
        standin->input = "last";
        standin->lstatus = -4;
    }
    EXPECT_TRUE(WaitFor([&] { return ch->IsLost(); }));
    EXPECT_STREQ(ch->LostCause(), "connection to the server lost (NSIO_CLOSED)");
    char last[8] = {};
    EXPECT_EQ(ch->Read(last, sizeof last), 4);
    EXPECT_EQ(std::string(last, 4), "last");
    EXPECT_EQ(inputs(), kLineDSR | kLineDCD);
    long calls = standin->Get(&StandinState::lstatusCalls);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(standin->Get(&StandinState::lstatusCalls), calls) << "a lost port is left alone";
}

TEST_F(SerialNet, AFullReceiveRingIsNotOffered) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());
    const std::string in = Pattern(3, 20000);
    {
        std::lock_guard<std::mutex> l(standin->m);
        standin->input = in;
    }
    ASSERT_TRUE(WaitFor([&] { return ch->RxCount() == 16383; }));
    long reads = standin->Get(&StandinState::readCalls);
    long passes = standin->Get(&StandinState::lstatusCalls);
    EXPECT_TRUE(WaitFor([&] { return standin->Get(&StandinState::lstatusCalls) > passes + 5; }));
    EXPECT_EQ(standin->Get(&StandinState::readCalls), reads);

    std::string got(20000, '\0');
    int first = ch->Read(got.data(), 16383);
    EXPECT_EQ(first, 16383);
    size_t have = static_cast<size_t>(first);
    EXPECT_TRUE(WaitFor([&] {
        int k = ch->Read(got.data() + have, static_cast<int>(got.size() - have));
        if (k > 0) have += static_cast<size_t>(k);
        return have == got.size();
    }));
    EXPECT_TRUE(got == in);
}

// The connection goes while the library still holds more than the receive ring takes: the port
// counts as lost only once the reader has made room for all of it, and nothing is dropped.
TEST_F(SerialNet, APortLostWithAFullRingKeepsWhatTheLibraryStillHolds) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());
    const std::string in = Pattern(5, 20000);
    {
        std::lock_guard<std::mutex> l(standin->m);
        standin->input = in;
        standin->lstatus = -4;
    }
    ASSERT_TRUE(WaitFor([&] { return ch->RxCount() == 16383; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(ch->IsLost()) << "the library still holds bytes";
    std::string got;
    char buf[4096];
    EXPECT_TRUE(WaitFor([&] {
        const bool lost = ch->IsLost(); // before the read: what the ring holds then is all
        int k = ch->Read(buf, sizeof buf);
        if (k > 0) got.append(buf, static_cast<size_t>(k));
        return got.size() == in.size() || (lost && k <= 0);
    }));
    EXPECT_EQ(got.size(), in.size());
    EXPECT_TRUE(got == in);
    EXPECT_TRUE(WaitFor([&] { return ch->IsLost(); }));
    EXPECT_STREQ(ch->LostCause(), "connection to the server lost (NSIO_CLOSED)");
}

TEST_F(SerialNet, ALibraryClaimingMoreThanItWasOfferedCannotWrapTheRing) {
    auto ch = OpenNet(STANDIN_OK);
    ASSERT_TRUE(ch->IsInited());
    const std::string in = Pattern(4, 20000);
    {
        std::lock_guard<std::mutex> l(standin->m);
        standin->readOverclaim = 10;
        standin->input = in;
    }
    // The first read fills the whole ring and claims 10 bytes more than that.
    ASSERT_TRUE(WaitFor([&] { return ch->RxCount() == 16383; }));
    std::string got(16383, '\0');
    EXPECT_EQ(ch->Read(got.data(), 16383), 16383);
    EXPECT_TRUE(got == in.substr(0, 16383));
}

TEST(LibraryLookup, BareNamesComeFromBesideTheProgramThenTheCurrentDirectory) {
    ScopedTestDir dir;
    const std::string beside = ExeDir() + "/" + STANDIN_BESIDE_NAME;
    ASSERT_TRUE(fs::exists(beside));
    // A planted file of the same name in the working directory does not win.
    WriteFileBytes(STANDIN_BESIDE_NAME, "planted");
    EXPECT_EQ(zem::FindLibraryFile(STANDIN_BESIDE_NAME), beside);
    zem::DynLib lib;
    ASSERT_TRUE(lib.Load(zem::FindLibraryFile(STANDIN_BESIDE_NAME)));
    EXPECT_NE(lib.Symbol("nsio_open"), nullptr);
    EXPECT_EQ(lib.Symbol("nsio_nothing"), nullptr);

    fs::copy_file(STANDIN_OK, "libcwd-only.so");
    EXPECT_TRUE(fs::equivalent(zem::FindLibraryFile("libcwd-only.so"), dir.File("libcwd-only.so")));
    EXPECT_TRUE(lib.Load(zem::FindLibraryFile("libcwd-only.so")));
    // Never a search of the system's directories.
    EXPECT_EQ(zem::FindLibraryFile("libc.so.6"), "");
    EXPECT_EQ(zem::FindLibraryFile(""), "");
    // A name with a directory part is taken as it stands.
    EXPECT_EQ(zem::FindLibraryFile("./libcwd-only.so"), "./libcwd-only.so");
    EXPECT_EQ(zem::FindLibraryFile(dir.File("nothing.so")), "");
}

// An installed program finds its library in the installed folder when there is none beside it,
// and a file of that name planted in the working directory never takes its place.
TEST(LibraryLookup, TheInstalledFolderComesAfterThePrograms) {
    ScopedTestDir dir;
    const fs::path installed = STANDIN_INSTALLED;
    const std::string name = installed.filename().string();
    ASSERT_FALSE(fs::exists(ExeDir() + "/" + name));
    WriteFileBytes(name, "planted");
    ASSERT_FALSE(zem::FindLibraryFile(name).empty());
    EXPECT_TRUE(fs::equivalent(zem::FindLibraryFile(name), installed));
    zem::DynLib lib;
    ASSERT_TRUE(lib.Load(zem::FindLibraryFile(name)));
    EXPECT_NE(lib.Symbol("nsio_open"), nullptr);

    // A library beside the program goes before the installed one.
    const fs::path second = installed.parent_path() / STANDIN_BESIDE_NAME;
    fs::copy_file(STANDIN_OK, second, fs::copy_options::overwrite_existing);
    std::string found = zem::FindLibraryFile(STANDIN_BESIDE_NAME);
    fs::remove(second);
    EXPECT_EQ(found, ExeDir() + "/" + STANDIN_BESIDE_NAME);
}

// OpenChannel's network names, with a stand-in in the working directory under the library's
// real file name.
TEST(OpenChannelNetwork, HostPortNamesReachTheLibrary) {
    ScopedTestDir dir;
    if (zem::FindLibraryFile(zem::kNetSerialLibrary) != "")
        GTEST_SKIP() << "a network serial library is installed beside this program";
    fs::copy_file(STANDIN_OK, zem::kNetSerialLibrary);
    Standin standin(dir.File(zem::kNetSerialLibrary));

    TChannel* ch = zem::OpenChannel("localhost:950");
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->kind, kChannelSerial);
    char name[32];
    EXPECT_STREQ(ch->GetName(name), "MOXA");
    EXPECT_STREQ(ch->StoredFlow(), "N");
    EXPECT_EQ(standin->Calls(),
              (Calls{"init", "open 127.0.0.1 950 3000", "ioctl 7 16 3", "ioctl 7 16 3",
                     "flowctrl 7 3", "flowctrl 7 0", "RTS 7 1", "DTR 7 1"}));
    zem::FreeChannel(ch);
    EXPECT_EQ(standin->Calls().back(), "end");

    const std::string zeros(255 - std::string("127.0.0.1:950").size(), '0');
    const std::pair<std::string, std::string> ports[] = {
        {"127.0.0.1: 12abc", "open 127.0.0.1 12 3000"},
        {"127.0.0.1:x", "open 127.0.0.1 0 3000"},
        {"127.0.0.1:" + zeros + "950", "open 127.0.0.1 950 3000"}, // 255 characters
    };
    for (const auto& [portName, open] : ports) {
        SCOPED_TRACE(portName.substr(0, 40));
        standin->Reset();
        TChannel* c = zem::OpenChannel(portName);
        EXPECT_NE(c, nullptr);
        zem::FreeChannel(c);
        EXPECT_EQ(standin->Calls().at(1), open);
    }

    for (const std::string& bad :
         {std::string("127.0.0.1"), std::string("127.0.0.1:"), "127.0.0.1:0" + zeros + "950"}) {
        SCOPED_TRACE(bad.substr(0, 40));
        standin->Reset();
        EXPECT_EQ(zem::OpenChannel(bad), nullptr);
        EXPECT_EQ(standin->Calls(), Calls{}) << "nothing opened";
    }

    standin->Reset();
    standin->openResult = -1;
    std::string cause;
    EXPECT_EQ(zem::OpenChannel("127.0.0.1:950", 0, {}, &cause), nullptr);
    EXPECT_EQ(standin->Calls(), (Calls{"init", "open 127.0.0.1 950 3000"}));
    EXPECT_EQ(cause, "refused by the library");

    // A library with only the eleven entry points cannot do TLS: it is not asked to open plain.
    standin->Reset();
    standin->openResult = 7;
    EXPECT_EQ(zem::OpenChannel("tls://127.0.0.1:950", 0, {}, &cause), nullptr);
    EXPECT_EQ(standin->Calls(), Calls{"init"});
    EXPECT_NE(cause.find("offers no TLS"), std::string::npos) << cause;
}

// Our library behind the eleven entry points only: the channel has no wait to sleep in and cannot
// tell "nothing to read" from a dead connection by nsio_read. The server going away still ends
// the port, named, within a few passes.
TEST(SerialNetEleven, AServerThatGoesAwayIsSeenWithoutTheLibrarysWait) {
    ScopedTestDir dir;
    FakeServer server;
    auto ch = OpenNet(NSIO_ELEVEN, "127.0.0.1", server.Port());
    ASSERT_TRUE(ch->IsInited());
    EXPECT_FALSE(ch->WaitsInLibrary());
    server.SendData({'o', 'k'});
    std::string got;
    char buf[8];
    EXPECT_TRUE(WaitFor([&] {
        int k = ch->Read(buf, sizeof buf);
        if (k > 0) got.append(buf, static_cast<size_t>(k));
        return got.size() >= 2;
    }));
    EXPECT_EQ(got, "ok");
    EXPECT_FALSE(ch->IsLost());

    server.SendData({'!'});
    server.CloseClient();
    EXPECT_TRUE(WaitFor([&] { return ch->IsLost(); }, 5000));
    EXPECT_STREQ(ch->LostCause(), "connection to the server lost (NSIO_CLOSED)");
    EXPECT_EQ(ch->Read(buf, sizeof buf), 1) << "what came before the loss is kept";
    EXPECT_EQ(buf[0], '!');
}

// --- our own library, with its wait and its abortable open -------------------------------

namespace {
std::unique_ptr<TSerial> OpenOurs(uint16_t port, intptr_t abort = zem::kNoWake) {
    return std::make_unique<TSerial>(20, "MOXA", 0, IPSERIAL_LIBRARY, "127.0.0.1", port, nullptr,
                                     abort);
}

long MsSince(std::chrono::steady_clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count());
}
} // namespace

// The server sends more than the ring and the library's buffer together hold, then closes, while
// nobody reads: every byte reaches the reader, and only then is the port lost.
TEST(SerialNetOurs, AFullRingWhenTheServerClosesLosesNoByte) {
    ScopedTestDir dir;
    FakeServer server;
    auto ch = OpenOurs(server.Port());
    ASSERT_TRUE(ch->IsInited());
    EXPECT_TRUE(ch->WaitsInLibrary());
    const std::string in = Pattern(6, 40000);
    server.SendData(Bytes(in.begin(), in.end()));
    server.CloseClient();
    ASSERT_TRUE(WaitFor([&] { return ch->RxCount() == 16383; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(ch->IsLost()) << "the library still holds bytes";
    std::string got;
    char buf[3000];
    EXPECT_TRUE(WaitFor([&] {
        const bool lost = ch->IsLost();
        int k = ch->Read(buf, sizeof buf);
        if (k > 0) got.append(buf, static_cast<size_t>(k));
        return got.size() == in.size() || (lost && k <= 0);
    }));
    EXPECT_EQ(got.size(), in.size());
    EXPECT_TRUE(got == in);
    EXPECT_TRUE(WaitFor([&] { return ch->IsLost(); }));
    EXPECT_STREQ(ch->LostCause(), "connection to the server lost (NSIO_CLOSED)");
}

// A process started with its standard input closed makes descriptor 0 its first: here the ring's
// wake-up. The service thread sleeping in the library's wait must still wake for every Write,
// not only at its guard (a second each).
TEST(SerialNetOurs, AWakeUpOnDescriptorZeroStillWakesTheServiceThread) {
    ScopedTestDir dir;
    FakeServer server;
    const int savedStdin = dup(0);
    close(0);
    auto ch = OpenOurs(server.Port());
    char link[64] = {};
    const ssize_t n = readlink("/proc/self/fd/0", link, sizeof link - 1);
    const bool zeroIsWake = n > 0 && std::string(link).find("eventfd") != std::string::npos;
    bool opened = ch->IsInited();
    if (opened && zeroIsWake) {
        ASSERT_TRUE(server.WaitFor([&] { return server.Opened(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the thread is asleep
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t i = 1; i <= 5; ++i) {
            EXPECT_EQ(ch->Write("x", 1), 1);
            EXPECT_TRUE(server.WaitFor([&] { return server.Data().size() == i; }));
        }
        // Five guards would take five seconds.
        EXPECT_LT(MsSince(t0), 2500);
    }
    ch.reset();
    if (savedStdin >= 0) {
        dup2(savedStdin, 0);
        close(savedStdin);
    }
    ASSERT_TRUE(opened);
    if (!zeroIsWake) GTEST_SKIP() << "descriptor 0 went to something else: " << link;
}

// Ctrl-C while a device server accepts and says nothing: the raised abort ends the open at once,
// and the channel says it was abandoned, not refused. OpenChannel does the same under a scope.
TEST(SerialNetOurs, ARaisedAbortEndsTheOpenOfASilentServer) {
    ScopedTestDir dir;
    // Silent from the start, or taking the port and then confirming none of its settings (each
    // setting waits 2 s for its answer).
    const FakeServer::Options servers[] = {{.negotiate = false}, {.answerConfig = false}};
    for (const FakeServer::Options& options : servers) {
        SCOPED_TRACE(options.negotiate ? "confirms nothing" : "silent");
        FakeServer server(options);
        zem::WakeLatch raised;
        ASSERT_TRUE(raised.Valid());
        std::thread raise([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            raised.Raise();
        });
        const auto t0 = std::chrono::steady_clock::now();
        auto ch = OpenOurs(server.Port(), raised.Native());
        const long ms = MsSince(t0);
        raise.join();
        EXPECT_FALSE(ch->IsInited());
        EXPECT_TRUE(ch->Aborted());
        EXPECT_EQ(ch->OpenFailure(), "the open was abandoned");
        EXPECT_LT(ms, 1500) << "the open's own limits are 2 s and more";
    }

    FakeServer silent({.negotiate = false});
    zem::WakeLatch abort;
    abort.Raise();

    if (zem::FindLibraryFile(zem::kNetSerialLibrary) != "")
        GTEST_SKIP() << "a network serial library is installed beside this program";
    fs::copy_file(IPSERIAL_LIBRARY, zem::kNetSerialLibrary);
    const std::string name = "127.0.0.1:" + std::to_string(silent.Port());
    {
        zem::ScopedOpenAbort scope(abort);
        std::string cause;
        const auto t1 = std::chrono::steady_clock::now();
        EXPECT_EQ(zem::OpenChannel(name, 0, {}, &cause), nullptr);
        EXPECT_LT(MsSince(t1), 2000);
        EXPECT_TRUE(zem::OpenAbandoned());
    }
    // Out of the scope the abort no longer counts.
    FakeServer server;
    TChannel* opened = zem::OpenChannel("127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_NE(opened, nullptr);
    EXPECT_FALSE(zem::OpenAbandoned());
    zem::FreeChannel(opened);
}
