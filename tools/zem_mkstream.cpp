// zem-mkstream: writes a valid stream file (header, checksum, records, speed word) for tests.
#include "StreamBuilder.h"
#include "StreamFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace zem::sim;

namespace {

const char kUsage[] =
    "Usage: zem-mkstream -o FILE [options]\n"
    "\n"
    "Writes a stream file whose header checks and whose records end exactly at the end of\n"
    "the file. Payload bytes are pseudo-random from the seed, so the same options always give\n"
    "the same file. Prints each record's payload range and the speed word's place.\n"
    "\n"
    "  -o, --output FILE     file to write (required)\n"
    "  --version V           stream version 1 (76-byte header) or 2 (78 bytes; default)\n"
    "  --boot-type N         boot type word, version 2 only (default 0)\n"
    "  --flash-type N        1 = 4MB (default), 2 = 8MB\n"
    "  --records LIST        payload sizes in bytes (count + 1, 1..65536), comma-separated;\n"
    "                        SxN repeats size S N times (default 300,1024,2048,512,4096,700)\n"
    "  --speed-record R      the speed word lies in record R, counted from 1 (default 3, or\n"
    "                        the last record when there are fewer)\n"
    "  --speed-at B          ... at byte B of that record's payload (default: its middle)\n"
    "  --speed-offset N      write N as the Speed Offset field instead (the speed word is then\n"
    "                        wherever N puts it, also outside every payload)\n"
    "  --speed-word V        the file's own speed word value (default 1, the code of 115200)\n"
    "  --seed N              payload generator seed (default 1)\n"
    "  --sw-version TEXT     software version text (default \"ZEM-SIM 1.0\")\n"
    "  --product TEXT        product name text (default \"ZEM TEST MODULE\")\n"
    "  --bad-crc             spoil the header checksum\n"
    "  --trailing N          append N bytes after the last record (records then do not end\n"
    "                        at the end of the file)\n"
    "  -q, --quiet           print nothing\n"
    "  -h, --help            this text\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "zem-mkstream: %s\nTry zem-mkstream --help.\n", problem.c_str());
    return 2;
}

bool Number(const std::string& s, unsigned long max, unsigned long& out) {
    if (s.empty() || s[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    out = v;
    return true;
}

bool ParseRecords(const std::string& list, std::vector<uint32_t>& sizes) {
    sizes.clear();
    size_t from = 0;
    while (from <= list.size()) {
        size_t comma = list.find(',', from);
        std::string item = list.substr(from, comma - from);
        size_t x = item.find('x');
        unsigned long size = 0, times = 1;
        if (!Number(item.substr(0, x), 65536, size) || size == 0) return false;
        if (x != std::string::npos && (!Number(item.substr(x + 1), 100000, times) || !times))
            return false;
        sizes.insert(sizes.end(), times, static_cast<uint32_t>(size));
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return !sizes.empty();
}

} // namespace

int main(int argc, char** argv) {
    StreamLayout layout;
    layout.payloadSizes = {300, 1024, 2048, 512, 4096, 700};
    std::string output;
    bool quiet = false;
    bool speedRecordGiven = false, speedAtGiven = false, speedOffsetGiven = false;
    unsigned long speedAt = 0;
    for (int i = 1; i < argc; ++i) {
        std::string o = argv[i];
        auto text = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string t;
        unsigned long v = 0;
        if (o == "-h" || o == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if ((o == "-o" || o == "--output") && text(output)) {
        } else if (o == "--version" && text(t) && Number(t, 2, v) && v >= 1) {
            layout.version = static_cast<uint16_t>(v);
        } else if (o == "--boot-type" && text(t) && Number(t, 0xFFFF, v)) {
            layout.bootType = static_cast<uint16_t>(v);
        } else if (o == "--flash-type" && text(t) && Number(t, 0xFFFF, v)) {
            layout.flashType = static_cast<uint16_t>(v);
        } else if (o == "--records" && text(t)) {
            if (!ParseRecords(t, layout.payloadSizes)) return Usage("bad --records list: " + t);
        } else if (o == "--speed-record" && text(t) && Number(t, 0xFFFFFFFF, v) && v >= 1) {
            layout.speedRecord = static_cast<uint32_t>(v);
            speedRecordGiven = true;
        } else if (o == "--speed-at" && text(t) && Number(t, 65535, v)) {
            speedAt = v;
            speedAtGiven = true;
        } else if (o == "--speed-offset" && text(t) && Number(t, 0xFFFFFFFF, v)) {
            layout.speedOffset = static_cast<uint32_t>(v);
            speedOffsetGiven = true;
        } else if (o == "--speed-word" && text(t) && Number(t, 0xFFFF, v)) {
            layout.speedWordValue = static_cast<uint16_t>(v);
        } else if (o == "--seed" && text(t) && Number(t, 0xFFFFFFFF, v)) {
            layout.seed = static_cast<uint32_t>(v);
        } else if (o == "--sw-version" && text(layout.softwareVersion)) {
        } else if (o == "--product" && text(layout.productName)) {
        } else if (o == "--bad-crc") {
            layout.badCrc = true;
        } else if (o == "--trailing" && text(t) && Number(t, 0x7FFFFFFF, v)) {
            layout.trailingBytes = static_cast<uint32_t>(v);
        } else if (o == "-q" || o == "--quiet") {
            quiet = true;
        } else {
            return Usage("unknown option or bad value: " + o);
        }
    }
    if (output.empty()) return Usage("no output file (-o FILE)");
    if (speedOffsetGiven && (speedRecordGiven || speedAtGiven))
        return Usage("--speed-offset excludes --speed-record and --speed-at");
    if (!speedOffsetGiven) {
        if (!speedRecordGiven)
            layout.speedRecord =
                static_cast<uint32_t>(std::min<size_t>(3, layout.payloadSizes.size()));
        if (layout.speedRecord > layout.payloadSizes.size())
            return Usage("--speed-record names a record that does not exist");
        const uint32_t size = layout.payloadSizes[layout.speedRecord - 1];
        if (size < 2) return Usage("the speed word's record needs a payload of 2 bytes or more");
        layout.speedInRecord = speedAtGiven ? static_cast<uint32_t>(speedAt) : (size - 2) / 2;
    }

    std::string error;
    std::vector<uint8_t> image = BuildStream(layout, &error);
    if (image.empty()) return Usage(error);
    std::FILE* f = std::fopen(output.c_str(), "wb");
    bool ok = f && std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "zem-mkstream: can not write %s\n", output.c_str());
        return 1;
    }
    if (!quiet) {
        zem::StreamWalk w = zem::WalkStream(image.data(), image.size());
        std::printf("%s: %zu bytes, version %u, boot type %u, flash type %u, header %u bytes\n",
                    output.c_str(), image.size(), layout.version, layout.bootType, layout.flashType,
                    w.headerLength);
        for (size_t i = 0; i < w.records.size(); ++i)
            std::printf("record %zu: payload 0x%08X - 0x%08X (%u bytes)\n", i + 1,
                        static_cast<unsigned>(w.records[i].payloadStart),
                        static_cast<unsigned>(w.records[i].end - 1), w.records[i].count + 1u);
        std::printf("speed word at 0x%08llX", static_cast<unsigned long long>(w.speedWordOffset));
        if (w.speedRecord >= 0)
            std::printf(", in record %lld", static_cast<long long>(w.speedRecord + 1));
        std::printf("\n");
    }
    return 0;
}
