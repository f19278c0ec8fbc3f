#include "Harness.h"
#include "LogArchive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::tm May2(int sec) {
    std::tm t{};
    t.tm_year = 2008 - 1900;
    t.tm_mon = 4;
    t.tm_mday = 2;
    t.tm_hour = 14;
    t.tm_min = 3;
    t.tm_sec = sec;
    t.tm_isdst = -1;
    return t;
}

void SetModified(const std::string& path, std::tm local) {
    std::time_t t = std::mktime(&local);
    fs::last_write_time(
        path, std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(t)));
}

const zem::TimeFormats kDayFirst{"%d/%m/%Y", "%H.%M.%S"};

} // namespace

TEST(LogArchive, StampFromTheLocaleFormats) {
    std::setlocale(LC_TIME, "C");
    EXPECT_EQ(zem::ArchiveStamp(May2(26), kDayFirst), "02-05-2008_14.03.26");
    EXPECT_EQ(zem::ArchiveStamp(May2(26)), "05-02-08_14:03:26"); // the C locale's %x and %X
}

TEST(LogArchive, CopiesTheLogUnderItsTimeAndEmptiesIt) {
    ScopedTestDir dir;
    const std::string start = dir.Path() + "/";
    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    WriteFileBytes(dir.File("zem.log"), bytes);
    SetModified(dir.File("zem.log"), May2(27)); // odd seconds: the stamp keeps two-second steps

    std::string archive;
    EXPECT_EQ(zem::ArchiveLog(start, kDayFirst, &archive), zem::ArchiveResult::Archived);
    EXPECT_EQ(archive, start + "02-05-2008_14.03.26_zem.log");
    EXPECT_EQ(ReadFileBytes(archive), bytes);
    EXPECT_TRUE(fs::exists(dir.File("zem.log")));
    EXPECT_EQ(fs::file_size(dir.File("zem.log")), 0u);
}

TEST(LogArchive, NothingToDoOrNothingPossible) {
    ScopedTestDir dir;
    const std::string start = dir.Path() + "/";
    EXPECT_EQ(zem::ArchiveLog(start, kDayFirst), zem::ArchiveResult::NoLog);
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    // An archive name the file system refuses (here: a folder that does not exist) keeps the log.
    WriteFileBytes(dir.File("zem.log"), "trace\n");
    EXPECT_EQ(zem::ArchiveLog(start, {"%d/%m/%Y", "no-such-dir/%H"}), zem::ArchiveResult::Failed);
    EXPECT_EQ(ReadFileBytes(dir.File("zem.log")), "trace\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST(LogArchive, ARunArchivesOnlyWithDebugOn) {
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug);
        Harness h;
        WriteFileBytes(h.File("module.bin"), MakeStream());
        WriteFileBytes(h.File("zem.log"), "previous run\n");
        WriteFileBytes(h.File("Zem.ini"), debug ? "[System]\nDebug=1\n" : "");
        h.logic = std::make_unique<zem::FormMainLogic>(h.view, h.Services(), kDayFirst);
        h.logic->Create();
        h.view.texts[zem::Item::EditFilePath] = "module.bin";
        h.logic->ButtonProgramClick();
        EXPECT_EQ(ReadFileBytes(h.File("zem.log")), debug ? "" : "previous run\n");
        size_t files =
            std::distance(fs::directory_iterator(h.dir.Path()), fs::directory_iterator());
        EXPECT_EQ(files, debug ? 4u : 3u);
    }
}
