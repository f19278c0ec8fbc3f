#include "StreamFile.h"

#include "Format.h"
#include "Paths.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace zem {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t StreamVersionOf(const HeaderBytes& h) { return Le16(&h[hdr::kStreamVersion]); }

uint32_t HeaderLengthFor(uint16_t v) { return v == 1 ? 76u : 78u; }

uint16_t HeaderChecksum(const HeaderBytes& h) {
    uint16_t sum = 0;
    for (size_t i = 0; i < hdr::kSpeedOffset; ++i) sum = static_cast<uint16_t>(sum + h[i]);
    if (StreamVersionOf(h) == 2)
        sum = static_cast<uint16_t>(sum + h[hdr::kBootType] + h[hdr::kBootType + 1]);
    return sum;
}

std::string HeaderText(const HeaderBytes& h, size_t offset) {
    size_t n = 0;
    while (n < hdr::kTextWidth && h[offset + n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(&h[offset]), n);
}

HeaderCheck CheckStreamFile(const std::string& path) {
    HeaderCheck r;
    if (!FileExists(path)) {
        r.outcome = StreamCheck::Missing;
        r.status = kStatusNotValid;
        return r;
    }
    std::FILE* f = OpenRegularFile(path);
    if (!f) {
        r.outcome = StreamCheck::Unreadable;
        r.status = kStatusNotValid;
        return r;
    }
    // A short file leaves the rest of the header zero, as the missing-file path does.
    r.bytesRead = std::fread(r.header.data(), 1, r.header.size(), f);
    std::fclose(f);
    uint16_t version = StreamVersionOf(r.header);
    if (version != 1 && version != 2) {
        r.outcome = StreamCheck::BadVersion;
        r.status = kStatusBadVersion;
        r.labelsKept = true;
        return r;
    }
    r.valid = HeaderChecksum(r.header) == Le16(&r.header[hdr::kCrc]);
    if (!r.valid) {
        r.outcome = StreamCheck::BadChecksum;
        r.status = kStatusNotValid;
        return r;
    }
    r.outcome = StreamCheck::Valid;
    r.status = kStatusReady;
    r.softwareVersion = HeaderText(r.header, hdr::kSoftwareVersion);
    r.productName = HeaderText(r.header, hdr::kProductName);
    return r;
}

HeaderLabels MakeHeaderLabels(const HeaderBytes& h) {
    HeaderLabels l;
    uint16_t flash = Le16(&h[hdr::kFlashType]);
    l.flashKnown = flash == 1 || flash == 2;
    l.flashType = flash == 1 ? "4MB" : flash == 2 ? "8MB" : "unknow";
    l.headerLength = Format("0x%X", Le16(&h[hdr::kHeaderLength]));
    l.streamVersion = Format("0x%X", StreamVersionOf(h));
    l.bootType = Format("0x%X", Le16(&h[hdr::kBootType]));
    l.speedOffset = Format("0x%04X", Le32(&h[hdr::kSpeedOffset]));
    l.crc = Format("0x%04X", Le16(&h[hdr::kCrc]));
    return l;
}

HeaderCheck CheckStreamFileFully(const std::string& path, HeaderLabels* labels) {
    HeaderCheck r = CheckStreamFile(path);
    if (!r.valid) return r;
    HeaderLabels l = MakeHeaderLabels(r.header);
    if (!l.flashKnown) {
        r.valid = false;
        r.outcome = StreamCheck::BadFlashType;
        r.status = kStatusBadFlash;
    } else if (!StreamRecordsEndExactly(path)) {
        // A cut file would be programmed up to its last whole record and then fail.
        r.valid = false;
        r.outcome = StreamCheck::BadRecords;
        r.status = kStatusNotValid;
    }
    if (labels) *labels = l;
    return r;
}

bool StreamRecordsEndExactly(const std::string& path) {
    StreamWalk w;
    return WalkStreamFile(path, w) && w.endsExactly;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize) {
    out.clear();
    std::FILE* f = OpenRegularFile(path);
    if (!f) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && static_cast<uint64_t>(size) <= maxSize &&
         std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        // A file larger than memory allows is a failure to read, not an exception.
        try {
            out.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            ok = false;
        } catch (const std::length_error&) {
            ok = false;
        }
    }
    ok = ok && std::fread(out.data(), 1, out.size(), f) == out.size();
    std::fclose(f);
    if (!ok) {
        out.clear();
        out.shrink_to_fit();
    }
    return ok;
}

bool MemorySource::ReadAt(uint64_t offset, uint8_t* out, size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    std::memcpy(out, data_ + offset, n);
    return true;
}

FileSource::FileSource(const std::string& path, size_t windowSize)
    : file_(OpenRegularFile(path)), windowSize_(windowSize ? windowSize : kWindowSize) {
    if (!file_) return;
    if (std::fseek(file_, 0, SEEK_END) == 0) {
        long end = std::ftell(file_);
        if (end >= 0) {
            size_ = static_cast<uint64_t>(end);
            return;
        }
    }
    std::fclose(file_);
    file_ = nullptr;
}

FileSource::~FileSource() {
    if (file_) std::fclose(file_);
}

bool FileSource::ReadAt(uint64_t offset, uint8_t* out, size_t n) {
    if (!file_ || offset > size_ || n > size_ - offset) return false;
    while (n > 0) {
        if (offset < windowStart_ || offset >= windowStart_ + window_.size()) {
            window_.resize(static_cast<size_t>(std::min<uint64_t>(windowSize_, size_ - offset)));
            if (offset > static_cast<uint64_t>(LONG_MAX) ||
                std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0 ||
                std::fread(window_.data(), 1, window_.size(), file_) != window_.size()) {
                window_.clear();
                return false;
            }
            windowStart_ = offset;
        }
        size_t at = static_cast<size_t>(offset - windowStart_);
        size_t take = std::min(n, window_.size() - at);
        std::memcpy(out, window_.data() + at, take);
        out += take;
        offset += take;
        n -= take;
    }
    return true;
}

RecordIterator::RecordIterator(ByteSource& source, uint64_t headerLength)
    : source_(source), pos_(headerLength) {}

bool RecordIterator::Next(StreamRecord& r) {
    if (truncated_ || readError_) return false;
    const uint64_t size = source_.Size();
    if (pos_ >= size) return false;
    uint8_t count[2];
    if (size - pos_ < 2) {
        truncated_ = true;
        return false;
    }
    if (!source_.ReadAt(pos_, count, 2)) {
        readError_ = true;
        return false;
    }
    const uint16_t n = Le16(count);
    const uint64_t end = pos_ + n + 3;
    if (end > size) {
        truncated_ = true;
        claimedEnd_ = end;
        return false;
    }
    r.start = pos_;
    r.payloadStart = pos_ + 2;
    r.end = end;
    r.count = n;
    pos_ = end;
    return true;
}

uint32_t HeaderLengthOf(ByteSource& source) {
    uint8_t version[2];
    if (source.Size() < hdr::kStreamVersion + 2 || !source.ReadAt(hdr::kStreamVersion, version, 2))
        return 0;
    uint32_t length = HeaderLengthFor(Le16(version));
    return source.Size() < length ? 0 : length;
}

StreamWalk WalkStream(ByteSource& source, bool keepRecords) {
    StreamWalk w;
    w.size = source.Size();
    w.headerLength = HeaderLengthOf(source);
    uint8_t speed[4];
    if (w.headerLength == 0 || !source.ReadAt(hdr::kSpeedOffset, speed, 4)) {
        w.headerLength = 0;
        w.tooShort = true;
        return w;
    }
    w.speedWordOffset = static_cast<uint64_t>(w.headerLength) + Le32(speed);
    RecordIterator it(source, w.headerLength);
    StreamRecord r;
    while (it.Next(r)) {
        if (w.speedRecord < 0 && r.end > w.speedWordOffset)
            w.speedRecord = static_cast<int64_t>(w.recordCount);
        if (keepRecords) w.records.push_back(r);
        ++w.recordCount;
        w.payloadBytes += r.count + 1u;
    }
    w.truncated = it.Truncated();
    w.readError = it.ReadError();
    if (w.truncated) w.cutAt = it.Position();
    w.endsExactly = w.recordCount > 0 && it.EndedExactly();
    return w;
}

StreamWalk WalkStream(const uint8_t* data, size_t size) {
    MemorySource source(data, size);
    return WalkStream(source, true);
}

bool WalkStreamFile(const std::string& path, StreamWalk& walk) {
    FileSource source(path);
    if (!source.Opened()) return false;
    if (source.Size() > kMaxStreamSize) {
        walk = StreamWalk{};
        walk.size = source.Size();
        walk.tooLarge = true;
        return true;
    }
    walk = WalkStream(source, false);
    return true;
}

} // namespace zem
