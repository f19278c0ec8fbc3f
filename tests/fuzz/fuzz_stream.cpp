// The stream file's header check and record walk on arbitrary bytes, in memory and through the
// file path that every run and --info use: the first byte chooses the file reader's window (so
// that records cross its edges), the second whether the file is cut or grows while the window
// walks it, the rest is the file. The walk through the window, the whole-file walk, the full check
// and the whole-file read must agree with the walk in memory; a file cut under the walk is never
// taken for a whole one, and one that grows is walked as it was when opened.
#include "FuzzInput.h"
#include "StreamFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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

// The file changes (another program writes it) just before the walk's n-th read.
struct FileChange {
    enum Kind { kNone, kCut, kGrow } kind = kNone;
    uint32_t atRead = 0;
    uint8_t amount =
        0; // eighths of the file kept when cut; bytes added (times 37, plus 1) when grown
};

FileChange ChangeOf(uint8_t b) {
    FileChange c;
    if (b < 0x80) return c;
    c.kind = b < 0xC0 ? FileChange::kCut : FileChange::kGrow;
    c.atRead = 1 + (b & 7u);
    c.amount = (b >> 3) & 7u;
    return c;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size, const char* mode) {
    std::FILE* f = std::fopen(path.c_str(), mode);
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

// A file reader whose file another program changes in the middle of the walk.
class ChangingFile final : public ByteSource {
public:
    ChangingFile(const std::string& path, size_t window, FileChange change)
        : path_(path), file_(path, window), change_(change) {}
    bool Opened() const { return file_.Opened(); }
    uint64_t Size() const override { return file_.Size(); }
    bool ReadAt(uint64_t offset, uint8_t* out, size_t n) override {
        if (++reads_ == change_.atRead) {
            if (change_.kind == FileChange::kCut) {
                if (truncate(path_.c_str(), static_cast<off_t>(file_.Size() * change_.amount / 8)))
                    std::abort();
            } else if (change_.kind == FileChange::kGrow) {
                const std::vector<uint8_t> more(1u + change_.amount * 37u, 0x5A);
                WriteFile(path_, more.data(), more.size(), "ab");
            }
        }
        return file_.ReadAt(offset, out, n);
    }

private:
    std::string path_;
    FileSource file_;
    FileChange change_;
    uint32_t reads_ = 0;
};

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

// The file path's refusals, once per process: no file, a directory or a FIFO in its place, a file
// that reads shorter than its size, and a file larger than any stream (sparse, so it costs
// nothing).
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
    const std::string fifo = dir + "/fifo.bin";
    if (mkfifo(fifo.c_str(), 0600) == 0) {
        Check(CheckStreamFile(fifo).outcome == StreamCheck::Unreadable &&
                  !CheckStreamFileFully(fifo).valid && !WalkStreamFile(fifo, walk) &&
                  !ReadWholeFile(fifo, bytes) && !FileSource(fifo).Opened(),
              "a FIFO taken for a file");
        std::remove(fifo.c_str());
    }
    const std::string shortReading = fuzz::FileReadingShorterThanItsSize();
    if (!shortReading.empty()) {
        Check(!ReadWholeFile(shortReading, bytes) && bytes.empty(),
              "a file read whole that reads shorter than its size");
        // Its size promises more than a window can read: no record is taken from it.
        Check(WalkStreamFile(shortReading, walk) && !walk.endsExactly && walk.recordCount == 0 &&
                  !CheckStreamFileFully(shortReading).valid,
              "a file walked that reads shorter than its size");
    }
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
    const FileChange change = ChangeOf(inputSize > 1 ? input[1] : 0);
    const size_t skip = std::min<size_t>(inputSize, 2);
    const uint8_t* data = input + skip;
    const size_t size = inputSize - skip;

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
    WriteFile(path, data, size, "wb");
    {
        ChangingFile file(path, window, change);
        Check(file.Opened() && file.Size() == size, "the file's size");
        const StreamWalk walked = WalkStream(file, false);
        if (change.kind != FileChange::kCut) {
            Check(SameWalk(walked, counted), "the windowed walk differs");
        } else if (!SameWalk(walked, counted)) {
            // Cut under the walk: a read that fails says so, and only records read before it
            // are counted.
            Check((walked.readError || (walked.tooShort && !counted.tooShort)) &&
                      !walked.endsExactly && !walked.truncated &&
                      walked.recordCount <= counted.recordCount &&
                      walked.payloadBytes <= counted.payloadBytes,
                  "a file cut under the walk");
        }
    }
    if (change.kind != FileChange::kNone) WriteFile(path, data, size, "wb");
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
