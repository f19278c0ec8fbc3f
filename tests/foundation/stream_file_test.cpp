#include "Paths.h"
#include "ProfileFile.h"
#include "StreamFile.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace zem;

namespace {

struct HeaderFields {
    uint16_t version = 2;
    uint16_t flash = 1;
    uint32_t speedOffset = 0x12;
    uint16_t bootType = 0;
    bool goodCrc = true;
};

void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string MakeHeader(const HeaderFields& h) {
    std::string s(78, '\0');
    Put16(s, 0, h.version == 1 ? 76 : 78);
    std::memcpy(&s[2], "SW 1.02", 7);
    std::memcpy(&s[34], "Modem X", 7);
    Put16(s, 66, h.flash);
    Put16(s, 68, h.version);
    Put32(s, 70, h.speedOffset);
    Put16(s, 76, h.bootType);
    HeaderBytes b{};
    std::memcpy(b.data(), s.data(), b.size());
    uint16_t crc = HeaderChecksum(b);
    Put16(s, 74, static_cast<uint16_t>(h.goodCrc ? crc : crc + 1));
    return s;
}

// Bytes of a literal, NULs included.
template <size_t N> std::string Raw(const char (&s)[N]) {
    return std::string(s, N - 1);
}

HeaderBytes Bytes(const std::string& s) {
    HeaderBytes b{};
    std::memcpy(b.data(), s.data(), std::min(s.size(), b.size()));
    return b;
}

} // namespace

TEST(StreamChecksum, CoverageDependsOnVersion) {
    // Version 1: bytes 0-69 only. Version 2: also the boot type at 76-77.
    for (uint16_t version : {1, 2}) {
        SCOPED_TRACE(version);
        HeaderBytes base = Bytes(MakeHeader({.version = version}));
        uint16_t sum = HeaderChecksum(base);

        HeaderBytes speedChanged = base;
        speedChanged[70] ^= 0x5A;
        speedChanged[73] ^= 0x01;
        EXPECT_EQ(HeaderChecksum(speedChanged), sum) << "speed offset is never summed";

        HeaderBytes crcChanged = base;
        crcChanged[74] ^= 0xFF;
        EXPECT_EQ(HeaderChecksum(crcChanged), sum) << "crc is never summed";

        HeaderBytes bootChanged = base;
        bootChanged[76] = static_cast<uint8_t>(bootChanged[76] + 3);
        EXPECT_EQ(HeaderChecksum(bootChanged) != sum, version == 2);

        HeaderBytes textChanged = base;
        textChanged[5] = static_cast<uint8_t>(textChanged[5] + 1);
        EXPECT_EQ(static_cast<uint16_t>(HeaderChecksum(textChanged) - sum), 1);
    }
}

TEST(StreamChecksum, WrapsModulo65536) {
    HeaderBytes h{};
    std::fill(h.begin(), h.begin() + 70, 0xFF);
    h[68] = 2;
    h[69] = 0;
    EXPECT_EQ(HeaderChecksum(h), static_cast<uint16_t>(68 * 255 + 2 + 0));
}

TEST(StreamCheck, OutcomesAndStatusTexts) {
    ScopedTestDir dir;
    struct Case {
        const char* name;
        std::string bytes; // empty name: file not created
        bool create;
        StreamCheck outcome;
        const char* status;
        bool validAfterFullCheck;
    };
    std::string badVersion = MakeHeader({.version = 3});
    const Case cases[] = {
        {"v2 valid", MakeHeader({}) + Raw("\x01\x00\xAA\xBB"), true, StreamCheck::Valid,
         kStatusReady, true},
        // Version 1: bytes 76-77 are the first record's count (0), then its one payload byte.
        {"v1 valid", MakeHeader({.version = 1}) + "\x5A", true, StreamCheck::Valid, kStatusReady,
         true},
        {"last record cut", MakeHeader({}) + Raw("\x01\x00\xAA"), true, StreamCheck::BadRecords,
         kStatusNotValid, false},
        {"count word cut", MakeHeader({}) + Raw("\x01\x00\xAA\xBB\x01"), true,
         StreamCheck::BadRecords, kStatusNotValid, false},
        {"byte after the last record", MakeHeader({}) + Raw("\x00\x00\xAA\xBB"), true,
         StreamCheck::BadRecords, kStatusNotValid, false},
        {"header and no records", MakeHeader({}), true, StreamCheck::BadRecords, kStatusNotValid,
         false},
        {"bad crc", MakeHeader({.goodCrc = false}), true, StreamCheck::BadChecksum, kStatusNotValid,
         false},
        {"version 3", badVersion, true, StreamCheck::BadVersion, kStatusBadVersion, false},
        {"flash 3", MakeHeader({.flash = 3}), true, StreamCheck::BadFlashType, kStatusBadFlash,
         false},
        {"missing", "", false, StreamCheck::Missing, kStatusNotValid, false},
        {"short", MakeHeader({}).substr(0, 40), true, StreamCheck::BadVersion, kStatusBadVersion,
         false},
        {"empty", "", true, StreamCheck::BadVersion, kStatusBadVersion, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.File("s.bin");
        std::remove(path.c_str());
        if (c.create) WriteFileBytes(path, c.bytes);
        HeaderLabels labels;
        HeaderCheck full = CheckStreamFileFully(path, &labels);
        EXPECT_EQ(full.outcome, c.outcome);
        EXPECT_EQ(full.status, c.status);
        EXPECT_EQ(full.valid, c.validAfterFullCheck);
        HeaderCheck first = CheckStreamFile(path);
        // The creation-time check looks at neither the flash type nor the records.
        EXPECT_EQ(first.valid, c.validAfterFullCheck || c.outcome == StreamCheck::BadFlashType ||
                                   c.outcome == StreamCheck::BadRecords);
        if (!c.create || c.bytes.size() < 78) {
            // Bytes not read stay zero, as for a missing file.
            for (size_t i = c.bytes.size(); i < 78; ++i)
                ASSERT_EQ(first.header[i], 0) << i;
        }
    }
}

TEST(StreamCheck, ValidFileFillsTextsUpToFirstNul) {
    ScopedTestDir dir;
    std::string h = MakeHeader({});
    std::memset(&h[34], 'P', 32); // a product name that fills its field with no NUL
    HeaderBytes b = Bytes(h);
    uint16_t crc = HeaderChecksum(b);
    h[74] = static_cast<char>(crc & 0xFF);
    h[75] = static_cast<char>(crc >> 8);
    WriteFileBytes(dir.File("s.bin"), h);
    HeaderCheck r = CheckStreamFile(dir.File("s.bin"));
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.softwareVersion, "SW 1.02");
    EXPECT_EQ(r.productName, std::string(32, 'P'));
    EXPECT_FALSE(r.labelsKept);
    HeaderCheck bad = CheckStreamFile(dir.File("none.bin"));
    EXPECT_TRUE(bad.softwareVersion.empty());
}

TEST(StreamLabels, Formats) {
    struct Case {
        HeaderFields fields;
        const char* flash;
        const char* speed;
        const char* version;
        const char* boot;
    };
    const Case cases[] = {
        {{.version = 2, .flash = 1, .speedOffset = 0x12, .bootType = 0x0103},
         "4MB",
         "0x0012",
         "0x2",
         "0x103"},
        {{.version = 2, .flash = 2, .speedOffset = 0x12345}, "8MB", "0x12345", "0x2", "0x0"},
        {{.version = 1, .flash = 3, .speedOffset = 0xABCD}, "unknow", "0xABCD", "0x1", "0x0"},
    };
    for (const auto& c : cases) {
        HeaderLabels l = MakeHeaderLabels(Bytes(MakeHeader(c.fields)));
        EXPECT_EQ(l.flashType, c.flash);
        EXPECT_EQ(l.speedOffset, c.speed);
        EXPECT_EQ(l.streamVersion, c.version);
        EXPECT_EQ(l.bootType, c.boot);
        EXPECT_EQ(l.headerLength, c.fields.version == 1 ? "0x4C" : "0x4E");
        EXPECT_EQ(l.crc.substr(0, 2), "0x");
        EXPECT_GE(l.crc.size(), 6u);
    }
}

TEST(StreamWalker, RecordsAndEnds) {
    std::string h = MakeHeader({.speedOffset = 9}); // speed word at 78 + 9 = 87
    auto rec = [](uint16_t n) {
        std::string r(2, '\0');
        r[0] = static_cast<char>(n & 0xFF);
        r[1] = static_cast<char>(n >> 8);
        return r + std::string(n + 1u, 'x');
    };
    struct Case {
        const char* name;
        std::string file;
        size_t records;
        bool endsExactly;
        bool truncated;
        int speedRecord;
    };
    const Case cases[] = {
        {"one record of count 4", h + rec(4), 1, true, false, -1},
        {"three records", h + rec(4) + rec(0) + rec(9), 3, true, false, 1},
        {"ends inside payload", (h + rec(4)).substr(0, 84), 0, false, true, -1},
        {"ends inside count", h + rec(4) + "\x05", 1, false, true, -1},
        {"no body", h, 0, false, false, -1},
        {"count runs far past end", h + "\xFF\xFF" + "abc", 0, false, true, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto* data = reinterpret_cast<const uint8_t*>(c.file.data());
        StreamWalk w = WalkStream(data, c.file.size());
        EXPECT_EQ(w.headerLength, 78u);
        EXPECT_EQ(w.records.size(), c.records);
        EXPECT_EQ(w.endsExactly, c.endsExactly);
        EXPECT_EQ(w.truncated, c.truncated);
        EXPECT_EQ(w.speedRecord, c.speedRecord);
        EXPECT_EQ(w.speedWordOffset, 87u);
    }
    std::string one = h + rec(4);
    StreamWalk w = WalkStream(reinterpret_cast<const uint8_t*>(one.data()), one.size());
    ASSERT_EQ(w.records.size(), 1u);
    EXPECT_EQ(w.records[0].payloadStart, 0x50u);
    EXPECT_EQ(w.records[0].end - 1, 0x54u);
    EXPECT_EQ(w.payloadBytes, 5u);
}

TEST(StreamWalker, BufferShorterThanHeader) {
    std::string h = MakeHeader({});
    for (size_t n : {0, 10, 69, 77}) {
        StreamWalk w = WalkStream(reinterpret_cast<const uint8_t*>(h.data()), n);
        EXPECT_TRUE(w.tooShort) << n;
        EXPECT_TRUE(w.records.empty());
    }
    std::string v1 = MakeHeader({.version = 1}).substr(0, 76);
    EXPECT_FALSE(WalkStream(reinterpret_cast<const uint8_t*>(v1.data()), v1.size()).tooShort);
}

TEST(StreamFileRead, WholeFileAndMissing) {
    ScopedTestDir dir;
    WriteFileBytes(dir.File("a.bin"), std::string("\x00\x01\x02\xFF", 4));
    std::vector<uint8_t> out;
    ASSERT_TRUE(ReadWholeFile(dir.File("a.bin"), out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 2, 0xFF}));
    EXPECT_FALSE(ReadWholeFile(dir.File("missing.bin"), out));
    EXPECT_TRUE(out.empty());
}

TEST(StreamWalker, FileWalkAgreesWithMemoryWalkAndKeepsNoRecords) {
    ScopedTestDir dir;
    std::string h = MakeHeader({.speedOffset = 200});
    std::string body;
    for (int i = 0; i < 5000; ++i) {
        uint16_t n = static_cast<uint16_t>((i * 37) % 300);
        body += std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)};
        body += std::string(n + 1u, static_cast<char>(i));
    }
    struct Case {
        const char* name;
        std::string file;
    };
    // The file walk reads through a 64 KiB window: records straddle its edges here.
    const Case cases[] = {
        {"whole", h + body},
        {"cut in a payload", h + body.substr(0, body.size() - 7)},
        {"cut in a count word", h + body + "\x03"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(dir.File("s.bin"), c.file);
        StreamWalk mem = WalkStream(reinterpret_cast<const uint8_t*>(c.file.data()), c.file.size());
        StreamWalk file;
        ASSERT_TRUE(WalkStreamFile(dir.File("s.bin"), file));
        EXPECT_TRUE(file.records.empty());
        EXPECT_EQ(file.recordCount, mem.recordCount);
        EXPECT_EQ(mem.records.size(), mem.recordCount);
        EXPECT_EQ(file.payloadBytes, mem.payloadBytes);
        EXPECT_EQ(file.endsExactly, mem.endsExactly);
        EXPECT_EQ(file.truncated, mem.truncated);
        EXPECT_EQ(file.cutAt, mem.cutAt);
        EXPECT_EQ(file.speedRecord, mem.speedRecord);
        EXPECT_EQ(file.readError, false);
        if (mem.truncated) {
            EXPECT_EQ(mem.cutAt, mem.records.back().end)
                << "the cut record follows the last whole one";
        }
    }
}

TEST(StreamFileRead, HugeFileIsAFailureNotAnException) {
    ScopedTestDir dir;
    // Sparse: no disk space is used, but the size is above anything a stream can be.
    std::string path = dir.File("huge.bin");
    WriteFileBytes(path, MakeHeader({}));
    std::error_code ec;
    std::filesystem::resize_file(path, (uint64_t{1} << 40), ec);
    if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_FALSE(ReadWholeFile(path, out));
    EXPECT_TRUE(out.empty());
    StreamWalk w;
    ASSERT_TRUE(WalkStreamFile(path, w));
    EXPECT_TRUE(w.tooLarge);
    EXPECT_EQ(w.recordCount, 0u);
    HeaderCheck full = CheckStreamFileFully(path);
    EXPECT_FALSE(full.valid);
    EXPECT_EQ(full.outcome, StreamCheck::BadRecords);
    // Just above the largest stream: refused the same way, before any allocation.
    std::filesystem::resize_file(path, kMaxStreamSize + 1);
    EXPECT_FALSE(ReadWholeFile(path, out));
    EXPECT_FALSE(CheckStreamFileFully(path).valid);
}

#ifndef _WIN32
// Opening a FIFO for reading blocks until a writer comes; none ever does here.
TEST(StreamFileRead, OnlyRegularFilesAreRead) {
    ScopedTestDir dir;
    std::string fifo = dir.File("fifo.bin");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/null"), dir.Path()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(OpenRegularFile(path), nullptr);
        std::vector<uint8_t> out;
        EXPECT_FALSE(ReadWholeFile(path, out));
        StreamWalk w;
        EXPECT_FALSE(WalkStreamFile(path, w));
        HeaderCheck r = CheckStreamFileFully(path);
        EXPECT_FALSE(r.valid);
        EXPECT_EQ(r.status, kStatusNotValid);
    }
    EXPECT_EQ(CheckStreamFile(fifo).outcome, StreamCheck::Unreadable);
    // The same for an initialisation file ("Zem.ini", the station's files).
    ProfileFile ini;
    EXPECT_FALSE(ini.Load(fifo));
}
#endif
