#include "Profile.h"
#include "ProfileFile.h"
#include "TestDir.h"

#include <gtest/gtest.h>

using zem::ProfileFile;

TEST(ProfileFile, ReadsCaseInsensitivelyAndTrims) {
    ProfileFile p;
    p.Parse("; comment\r\n[System]\r\n Port = COM3 \r\nSPEED=9600\r\n[Form]\r\nTop=5\r\n");
    EXPECT_EQ(p.Get("system", "port").value(), "COM3");
    EXPECT_EQ(p.Get("SYSTEM", "speed").value(), "9600");
    EXPECT_EQ(p.Get("form", "TOP").value(), "5");
    EXPECT_FALSE(p.Get("Form", "Port").has_value());
    EXPECT_FALSE(p.Get("Nope", "Top").has_value());
}

TEST(ProfileFile, WriteKeepsEverythingElse) {
    ProfileFile p;
    p.Parse("; keep me\n[System]\nDebug=1\nPort=COM1\n\n[Form]\nTop=1\n");
    p.Set("SYSTEM", "port", "COM7");
    p.Set("System", "Speed", "921600");
    p.Set("Form", "Left", "3");
    p.Set("New", "K", "v");
    EXPECT_EQ(p.Text(), "; keep me\n[System]\nDebug=1\nPort=COM7\nSpeed=921600\n\n[Form]\nTop=1\n"
                        "Left=3\n[New]\nK=v\n");
}

// Whatever is written reads back as itself, line breaks aside, and never adds a line to the file.
TEST(ProfileFile, ValuesReadBackExactlyAndCannotAddLines) {
    struct Row {
        const char* value;
        const char* written; // the line's text after "K="
        const char* read;
    };
    const Row rows[] = {
        {"plain", "plain", "plain"},
        {" lead", "\" lead\"", " lead"},
        {"trail\t", "\"trail\t\"", "trail\t"},
        {"\"q\"", "\"\"q\"\"", "\"q\""},
        {"'q'", "\"'q'\"", "'q'"},
        {"\"", "\"", "\""},
        {"", "", ""},
        {"a\nb\r\nc", "abc", "abc"},
        {"x\n[S]\nDebug=1", "x[S]Debug=1", "x[S]Debug=1"},
        {" \n ", "\"  \"", "  "},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value);
        ProfileFile p;
        p.Parse("[S]\nDebug=0\n");
        ASSERT_TRUE(p.Set("S", "K", r.value));
        EXPECT_EQ(p.Text(), std::string("[S]\nDebug=0\nK=") + r.written + "\n");
        ProfileFile back;
        back.Parse(p.Text());
        EXPECT_EQ(back.Get("S", "K").value(), r.read);
        EXPECT_EQ(back.Get("S", "Debug").value(), "0");
    }
}

// A section or key name that a reader would not find again is refused and changes nothing.
TEST(ProfileFile, NamesThatWouldNotReadBackAreRefused) {
    const std::pair<const char*, const char*> refused[] = {
        {"S", ""},   {"S", "a=b"}, {"S", "a\nb"}, {"S", " K"},  {"S", "K\t"},
        {"S", ";K"}, {"S", "[K"},  {"a]b", "K"},  {"S\n", "K"}, {" S", "K"},
    };
    for (const auto& [section, key] : refused) {
        SCOPED_TRACE(std::string(section) + "/" + key);
        ProfileFile p;
        p.Parse("[S]\nK=1\n");
        EXPECT_FALSE(p.Set(section, key, "2"));
        EXPECT_EQ(p.Text(), "[S]\nK=1\n");
    }
    ProfileFile p;
    EXPECT_TRUE(p.Set("", "K", "v"));
    EXPECT_TRUE(p.Set("a[b", "k]", "v"));
    EXPECT_EQ(p.Get("", "K").value(), "v");
    EXPECT_EQ(p.Get("a[b", "k]").value(), "v");
}

// Every line keeps its own ending: a write changes the one value and no other byte, and the text
// written parses back to itself.
TEST(ProfileFile, LineEndingsStayAsFound) {
    const std::string mixed = "[S]\r\nA=1\nB=2\r\r\nC=3\r";
    ProfileFile p;
    p.Parse(mixed);
    EXPECT_EQ(p.Text(), mixed);
    ASSERT_TRUE(p.Set("S", "B", "9"));
    ASSERT_TRUE(p.Set("S", "D", "4"));
    ASSERT_TRUE(p.Set("T", "E", "5"));
    const std::string written = "[S]\r\nA=1\nB=9\r\nC=3\r\r\nD=4\r\n[T]\r\nE=5\r\n";
    EXPECT_EQ(p.Text(), written);
    ProfileFile again;
    again.Parse(written);
    EXPECT_EQ(again.Text(), written);
    EXPECT_EQ(again.Get("S", "C").value(), "3");
}

// What the portable writer wrote, the platform's reader reads back (on Windows the system's own
// reader, which trims and unquotes as ours does).
TEST(Profile, PlatformReaderReadsWhatTheWriterWrote) {
    ScopedTestDir dir;
    std::string file = dir.File("Zem.ini");
    EXPECT_EQ(zem::ProfileRead(file, "System", "Port", "COM1"), "COM1");
    ProfileFile ini;
    ASSERT_TRUE(ini.Set("System", "Port", "COM9"));
    ASSERT_TRUE(ini.Set("Form", "Top", "100"));
    ASSERT_TRUE(ini.Set("system", "port", "COM2"));
    ASSERT_TRUE(ini.Set("System", "StartPath", " \"a b\" "));
    ASSERT_TRUE(ini.Set("System", "Speed", "1\r\nDebug=1"));
    WriteFileBytes(file, ini.Text());
    EXPECT_EQ(zem::ProfileRead(file, "SYSTEM", "PORT", "x"), "COM2");
    EXPECT_EQ(zem::ProfileRead(file, "Form", "Top", "x"), "100");
    EXPECT_EQ(zem::ProfileRead(file, "Form", "Left", "dflt"), "dflt");
    EXPECT_EQ(zem::ProfileRead(file, "System", "StartPath", "x"), " \"a b\" ");
    EXPECT_EQ(zem::ProfileRead(file, "System", "Debug", "0"), "0");
}
