#include "StreamFile.h"

#include "Format.h"
#include "Paths.h"

#include <cstdio>

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
    std::FILE* f = std::fopen(path.c_str(), "rb");
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
    }
    if (labels) *labels = l;
    return r;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out) {
    out.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        out.resize(static_cast<size_t>(size));
        ok = std::fread(out.data(), 1, out.size(), f) == out.size();
    }
    std::fclose(f);
    if (!ok) out.clear();
    return ok;
}

StreamWalk WalkStream(const uint8_t* data, size_t size) {
    StreamWalk w;
    if (size < hdr::kStreamVersion + 2) {
        w.tooShort = true;
        return w;
    }
    uint16_t version = Le16(data + hdr::kStreamVersion);
    w.headerLength = HeaderLengthFor(version);
    if (size < w.headerLength) {
        w.tooShort = true;
        return w;
    }
    w.speedWordOffset = static_cast<uint64_t>(w.headerLength) + Le32(data + hdr::kSpeedOffset);
    uint64_t pos = w.headerLength;
    while (pos < size) {
        if (pos + 2 > size) {
            w.truncated = true;
            break;
        }
        StreamRecord r;
        r.start = static_cast<uint32_t>(pos);
        r.count = Le16(data + pos);
        r.payloadStart = r.start + 2;
        uint64_t end = pos + r.count + 3;
        if (end > size) {
            w.truncated = true;
            break;
        }
        r.end = static_cast<uint32_t>(end);
        if (w.speedRecord < 0 && end > w.speedWordOffset)
            w.speedRecord = static_cast<int>(w.records.size());
        w.records.push_back(r);
        w.payloadBytes += r.count + 1u;
        pos = end;
    }
    w.endsExactly = !w.truncated && !w.records.empty() && w.records.back().end == size;
    return w;
}

} // namespace zem
