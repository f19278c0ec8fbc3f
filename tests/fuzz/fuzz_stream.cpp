// The stream file's header check and record walk on arbitrary bytes, in memory and through the
// file path that every run and --info use: the first byte chooses the file reader's window (so
// that records cross its edges), the rest is the file. The walk through the window, the whole-file
// walk, the full check and the whole-file read must agree with the walk in memory.
#include "FuzzInput.h"
#include "StreamFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace zem;

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_stream: %s\n", what);
    __builtin_trap();
}

size_t WindowSize(uint8_t b) {
    if (b < 0xC0) return 1 + b % 80; // smaller than a header, a record, a count word
    if (b < 0xFF) return 64u * (b - 0xBFu);
    return FileSource::kWindowSize;
}

bool SameWalk(const StreamWalk& a, const StreamWalk& b) {
    return a.headerLength == b.headerLength && a.recordCount == b.recordCount &&
           a.payloadBytes == b.payloadBytes && a.size == b.size && a.endsExactly == b.endsExactly &&
           a.truncated == b.truncated && a.cutAt == b.cutAt && a.readError == b.readError &&
           a.speedWordOffset == b.speedWordOffset && a.speedRecord == b.speedRecord &&
           a.tooShort == b.tooShort && a.tooLarge == b.tooLarge;
}

void CheckMemoryWalk(const uint8_t* data, size_t size, const StreamWalk& kept,
                     const StreamWalk& counted) {
    // Keeping the records or not must not change what the walk finds.
    Check(SameWalk(kept, counted) && kept.records.size() == kept.recordCount &&
              counted.records.empty(),
          "keeping the records changed the walk");
    if (kept.tooShort) {
        Check(kept.recordCount == 0 && size < 78, "a short file with records");
        return;
    }
    // Records lie end to end from the header on, inside the buffer.
    uint64_t at = kept.headerLength;
    for (const StreamRecord& r : kept.records) {
        Check(r.start == at && r.payloadStart == at + 2 && r.end == at + r.count + 3 &&
                  r.end <= size,
              "a record out of place");
        Check(Le16(data + r.start) == r.count, "a record's count");
        at = r.end;
    }
    Check(kept.endsExactly == (!kept.records.empty() && at == size), "ends exactly");
    Check(!kept.truncated || (kept.cutAt == at && at < size), "the cut record");
    Check(kept.truncated || at == size, "a walk that stopped early");
}

// The file path's refusals, once per process: no file, a directory in its place, and a file larger
// than any stream (sparse, so it costs nothing).
void CheckFilesThatAreNoStreams() {
    const std::string dir = fuzz::ScratchDir();
    const std::string missing = dir + "/missing.bin";
    StreamWalk walk;
    std::vector<uint8_t> bytes;
    Check(CheckStreamFile(missing).outcome == StreamCheck::Missing &&
              !WalkStreamFile(missing, walk) && !ReadWholeFile(missing, bytes) &&
              !FileSource(missing).Opened(),
          "a missing file");
    const HeaderCheck onDir = CheckStreamFile(dir);
    Check(!onDir.valid && onDir.outcome != StreamCheck::Valid && !WalkStreamFile(dir, walk) &&
              !ReadWholeFile(dir, bytes),
          "a directory taken for a file");
    const std::string large = dir + "/large.bin";
    std::FILE* f = std::fopen(large.c_str(), "wb");
    if (!f || std::fseek(f, static_cast<long>(kMaxStreamSize), SEEK_SET) != 0 ||
        std::fputc(0, f) == EOF || std::fclose(f) != 0)
        return; // no room for even a sparse file: nothing to check here
    Check(WalkStreamFile(large, walk) && walk.tooLarge && !walk.endsExactly &&
              !ReadWholeFile(large, bytes) && bytes.empty() && !CheckStreamFileFully(large).valid,
          "a file larger than any stream");
    std::remove(large.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CheckFilesThatAreNoStreams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
    const size_t window = WindowSize(inputSize ? input[0] : 0xFF);
    const uint8_t* data = inputSize ? input + 1 : input;
    const size_t size = inputSize ? inputSize - 1 : 0;

    HeaderBytes h{};
    std::memcpy(h.data(), data, std::min(size, h.size()));
    (void)HeaderChecksum(h);
    HeaderLabels labels = MakeHeaderLabels(h);
    (void)HeaderText(h, hdr::kSoftwareVersion);
    (void)HeaderText(h, hdr::kProductName);
    Check(labels.speedOffset.size() >= 6, "the speed offset label");

    MemorySource memory(data, size);
    const StreamWalk kept = WalkStream(memory, true);
    const StreamWalk counted = WalkStream(memory, false);
    CheckMemoryWalk(data, size, kept, counted);

    // The same bytes as a file.
    const std::string path = fuzz::ScratchDir() + "/stream.bin";
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) std::abort();
        if (size) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    {
        FileSource file(path, window);
        Check(file.Opened() && file.Size() == size, "the file's size");
        Check(SameWalk(WalkStream(file, false), counted), "the windowed walk differs");
    }
    StreamWalk whole;
    Check(WalkStreamFile(path, whole) && SameWalk(whole, counted), "the file walk differs");

    const HeaderCheck check = CheckStreamFile(path);
    Check(check.bytesRead == std::min(size, h.size()) && check.header == h, "the header read");
    const uint16_t version = Le16(&h[hdr::kStreamVersion]);
    const bool sumOk = HeaderChecksum(h) == Le16(&h[hdr::kCrc]);
    Check(check.valid == ((version == 1 || version == 2) && sumOk), "the header verdict");
    const HeaderCheck full = CheckStreamFileFully(path);
    Check(full.valid == (check.valid && labels.flashKnown && counted.endsExactly),
          "the full verdict");

    std::vector<uint8_t> read;
    Check(ReadWholeFile(path, read) && read.size() == size &&
              (size == 0 || std::memcmp(read.data(), data, size) == 0),
          "the whole-file read");
    if (size > 0) {
        std::vector<uint8_t> limited;
        Check(!ReadWholeFile(path, limited, size - 1) && limited.empty(),
              "a file over the limit is read");
    }
    return 0;
}
