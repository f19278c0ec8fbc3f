#include "Format.h"
#include "Paths.h"
#include "TestDir.h"
#include "Treport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

std::string Sep() {
    return std::string(1, zem::PathSeparator());
}

// Points the station key at a file of the test's own for the life of the object (Linux: an INI
// file named by the environment), none at first, and then puts back what the environment held:
// a station's real key must neither change these tests nor be lost by them. Where the key lives in
// the registry, Set returns false.
class StationKey {
public:
    static constexpr const char* kVariable = "QUARN_ACTIVEOBJ_INI";
    StationKey() {
#ifndef _WIN32
        if (const char* v = std::getenv(kVariable)) previous_ = v;
        file_ = dir_.File("station.ini");
        setenv(kVariable, file_.c_str(), 1);
#endif
    }
    bool Set(const std::string& workingPath) {
#ifdef _WIN32
        (void)workingPath;
        return false;
#else
        WriteFileBytes(file_,
                       "[QuarnActiveObj]\nWorkingPath=" + workingPath + "\nServerPath=srv\n");
        return true;
#endif
    }
    ~StationKey() {
#ifndef _WIN32
        if (previous_)
            setenv(kVariable, previous_->c_str(), 1);
        else
            unsetenv(kVariable);
#endif
    }

private:
    ScopedTestDir dir_;
    std::string file_;
    std::optional<std::string> previous_;
};

class Report : public ::testing::Test {
protected:
    StationKey key;
};

void WriteDeviceConfig(int levelCode, const std::string& text) {
    std::filesystem::path d =
        std::filesystem::path("Instance" + std::to_string(levelCode)) / "LocalConfig";
    std::filesystem::create_directories(d);
    WriteFileBytes((d / "DeviceConfig.ini").string(), text);
}

} // namespace

TEST_F(Report, PathsWithoutStationKey) {
    ScopedTestDir dir;
    TReport r(20, "COM1");
    std::string cwd = zem::CurrentDirWithSeparator();
    EXPECT_EQ(r.ReportWorkingPath(), cwd + "Instance20" + Sep());
    EXPECT_EQ(r.ReportIniPath(),
              cwd + "Instance20" + Sep() + "LocalConfig" + Sep() + "DeviceConfig.ini");
    EXPECT_EQ(r.ReportLevel(), 5);
    TReport neg(-5, "X");
    EXPECT_EQ(neg.ReportLevel(), 0);
    EXPECT_NE(neg.ReportWorkingPath().find("Instance-5"), std::string::npos);
}

TEST_F(Report, StationKeyValueUsedAsStored) {
    if (!key.Set("/srv/WorkBase")) GTEST_SKIP() << "station key lives in the registry here";
    TReport r(0, "COM1");
    EXPECT_EQ(r.ReportWorkingPath(), "/srv/WorkBaseInstance0" + Sep());
    EXPECT_EQ(r.ReportServerPath(), "srv");
}

TEST_F(Report, LevelFilteringAndRecordBytes) {
    ScopedTestDir dir;
    WriteDeviceConfig(20, "[com1]\nname=Bench7\n");
    WriteDeviceConfig(4, "[COM1]\nName=B4\n");
    {
        TReport zero(0, "COM1");
        zero.Fail(0, "f");
        zero.Log(0, "l");
        zero.Error(4, "e");
        zero.Debug(0, "d");
        zero.ReportTx(1, "tx", 2);
        zero.ReportRx(1, "rx", 2);
    }
    {
        TReport r(20, "COM1"); // level 5; writes its own "DeviceConfig:: " line
        r.Log(0, "FPL_Init inited");
        r.Debug(3, "shown");
        r.Debug(6, "hidden");
        r.Fail(9, "fail any level");
        r.Error(9, "error any level");
        r.ReportTx(1, std::string("a\r\nb\0c", 6).data(), 6);
    }
    {
        TReport r(4, "COM1"); // level 1
        r.Log(0, "log4");
        r.ReportRx(1, "xy", 2);
        r.Debug(3, "no");
    }
    {
        TReport anon(20, "NoSuchSection");
        anon.Log(0, "x");
    }
    std::string ini = zem::CurrentDirWithSeparator() + "Instance20" + Sep() + "LocalConfig" +
                      Sep() + "DeviceConfig.ini";
    // The level code 0 object wrote nothing at all.
    std::string expected = "Debug Bench7 DeviceConfig:: " + ini + "\r\n" +
                           "Log Bench7 FPL_Init inited\r\n" + "Debug Bench7 shown\r\n" +
                           "Fail Bench7 fail any level\r\n" + "Error Bench7 error any level\r\n" +
                           "ReportTx Bench7 " + std::string("a\r\nb\0c", 6) + "\r\n" +
                           "Log B4 log4\r\n" + "ReportRx B4 xy\r\n" +
                           "Debug  DeviceConfig:: " + ini + "\r\n" + "Log  x\r\n";
    EXPECT_EQ(ReadFileBytes("LocalLog.txt"), expected);
}

#ifndef _WIN32
TEST(ReportStationKey, EnvironmentIsPutBackAsItWas) {
    const char* var = StationKey::kVariable;
    const char* before = std::getenv(var);
    std::optional<std::string> saved;
    if (before) saved = before;
    for (const char* outer : {"/etc/station-a.ini", static_cast<const char*>(nullptr)}) {
        if (outer)
            setenv(var, outer, 1);
        else
            unsetenv(var);
        {
            StationKey key;
            ASSERT_NE(std::getenv(var), nullptr);
            EXPECT_NE(std::string(std::getenv(var)), "/etc/station-a.ini");
        }
        const char* after = std::getenv(var);
        if (outer) {
            ASSERT_NE(after, nullptr);
            EXPECT_STREQ(after, outer);
        } else {
            EXPECT_EQ(after, nullptr);
        }
    }
    if (saved)
        setenv(var, saved->c_str(), 1);
    else
        unsetenv(var);
}
#endif

// Text from files and devices as the operator sees it: controls and broken UTF-8 escaped,
// everything printable kept as it is.
TEST(Printable, EscapesControlsAndBrokenUtf8Only) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain text 1.0", "plain text 1.0"},
        {"\x1B]0;t\x07", "\\x1B]0;t\\x07"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"tab\tcr\rlf\n", "tab\\x09cr\\x0Dlf\\x0A"},
        {"del\x7F", "del\\x7F"},
        {"M\xC3\xBCnchen \xE2\x82\xAC \xF0\x9F\x98\x80",
         "M\xC3\xBCnchen \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"csi\xC2\x9B"
         "2J",
         "csi\\xC2\\x9B2J"}, // C1 control in UTF-8
        {"nbsp\xC2\xA0", "nbsp\xC2\xA0"},
        {"lone\x9B", "lone\\x9B"},
        {"cut\xE2\x82", "cut\\xE2\\x82"},
        {"overlong\xC0\x8A", "overlong\\xC0\\x8A"},
        {"surrogate\xED\xA0\x80", "surrogate\\xED\\xA0\\x80"},
    };
    for (const auto& [in, out] : rows) {
        SCOPED_TRACE(out);
        EXPECT_EQ(zem::Printable(in), out);
    }
}
