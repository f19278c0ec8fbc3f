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

TEST(Profile, PlatformReadWriteRoundTrip) {
    ScopedTestDir dir;
    std::string file = dir.File("Zem.ini");
    EXPECT_EQ(zem::ProfileRead(file, "System", "Port", "COM1"), "COM1");
    ASSERT_TRUE(zem::ProfileWrite(file, "System", "Port", "COM9"));
    ASSERT_TRUE(zem::ProfileWrite(file, "Form", "Top", "100"));
    ASSERT_TRUE(zem::ProfileWrite(file, "system", "port", "COM2"));
    EXPECT_EQ(zem::ProfileRead(file, "SYSTEM", "PORT", "x"), "COM2");
    EXPECT_EQ(zem::ProfileRead(file, "Form", "Top", "x"), "100");
    EXPECT_EQ(zem::ProfileRead(file, "Form", "Left", "dflt"), "dflt");
}
