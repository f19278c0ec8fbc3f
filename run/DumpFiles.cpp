#include "DumpFiles.h"

#include "Digest.h"
#include "Paths.h"
#include "ResultsLog.h"
#include "TFPLib.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace zem {

namespace {
constexpr const char* kTail = "_Read.bin";
// A numbered station's protocol saves here first; a leftover (a crash between the save and the
// rename) is numbered at the next start.
constexpr const char* kSaveTail = "_Read.saving";

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
} // namespace

std::vector<std::string> DumpFiles::Stems(const std::vector<std::string>& ports) {
    std::vector<std::string> stems;
    std::map<std::string, int> uses; // letter case does not tell files apart on Windows
    for (const auto& port : ports) {
        std::string name = TFPLib::DumpFileName(port);
        stems.push_back(name.substr(0, name.size() - std::string(kTail).size()));
        ++uses[Upper(stems.back())];
    }
    for (size_t i = 0; i < ports.size(); ++i)
        if (uses[Upper(stems[i])] > 1) {
            const auto* p = reinterpret_cast<const uint8_t*>(ports[i].data());
            stems[i].push_back('_');
            stems[i].append(Crc32Hex(p, ports[i].size()));
        }
    return stems;
}

DumpFiles::DumpFiles(const std::vector<std::string>& ports, std::string dir, bool numbered)
    : dir_(std::move(dir)), numbered_(numbered), stems_(Stems(ports)), highest_(ports.size(), 0) {
    if (!numbered_) return;
    std::error_code ec;
    std::filesystem::path folder =
        dir_.empty() ? std::filesystem::path(".") : std::filesystem::path(dir_);
    // Per slot, saves a crash left behind, by their block number within the run.
    std::vector<std::map<unsigned long, std::string>> leftovers(stems_.size());
    auto number = [](const std::string& digits, unsigned long& n) {
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        n = std::strtoul(digits.c_str(), nullptr, 10);
        return true;
    };
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::string name = entry.path().filename().string();
        for (size_t i = 0; i < stems_.size(); ++i) {
            unsigned long n = 0;
            std::string head = stems_[i] + "_Read_";
            if (name.size() > head.size() + 4 && name.compare(0, head.size(), head) == 0 &&
                name.compare(name.size() - 4, 4, ".bin") == 0 &&
                number(name.substr(head.size(), name.size() - head.size() - 4), n)) {
                if (n > highest_[i]) highest_[i] = static_cast<unsigned>(n);
                continue;
            }
            // "STEM_Read.saving", and "STEM_Read.2.saving" for a run's second read-back.
            std::string saving = stems_[i] + "_Read.";
            const std::string tail = ".saving";
            if (name == stems_[i] + kSaveTail) {
                leftovers[i][1] = Path(name);
            } else if (name.size() > saving.size() + tail.size() &&
                       name.compare(0, saving.size(), saving) == 0 &&
                       name.compare(name.size() - tail.size(), tail.size(), tail) == 0 &&
                       number(name.substr(saving.size(), name.size() - saving.size() - tail.size()),
                              n)) {
                leftovers[i][n] = Path(name);
            }
        }
    }
    for (size_t i = 0; i < stems_.size(); ++i) {
        std::vector<std::string> saved;
        for (const auto& [block, file] : leftovers[i])
            saved.push_back(file);
        if (!saved.empty()) Keep(i, saved);
    }
}

bool DumpFiles::FolderTakesFiles(const std::string& dir, std::string& cause) {
    std::filesystem::path folder =
        dir.empty() ? std::filesystem::path(".") : std::filesystem::path(dir);
    // Named by this start's id: no file of anyone else's is ever touched.
    std::string probe = (folder / (".zem-" + ProcessStartId() + ".probe")).string();
    errno = 0;
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) {
        cause = errno ? std::strerror(errno) : "the file could not be made";
        return false;
    }
    bool ok = std::fputc('\n', f) != EOF;
    int e = errno;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) cause = std::strerror(e ? e : errno);
    std::remove(probe.c_str());
    return ok;
}

std::string DumpFiles::Path(const std::string& name) const {
    if (dir_.empty()) return name;
    return (std::filesystem::path(dir_) / name).string();
}

std::string DumpFiles::SaveName(size_t slot) const {
    return Path(stems_[slot] + (numbered_ ? kSaveTail : kTail));
}

std::vector<std::string> DumpFiles::Keep(size_t slot, const std::vector<std::string>& saved) {
    if (!numbered_) return saved;
    std::vector<std::string> kept;
    for (const std::string& file : saved) {
        std::string lasting = file;
        std::lock_guard lock(mutex_);
        // A name taken meanwhile (another program, a copy put back) only moves the number on.
        for (int tries = 0; tries < 1000; ++tries) {
            unsigned n = ++highest_[slot];
            std::string name = Path(stems_[slot] + "_Read_" + std::to_string(n) + ".bin");
            bool taken = false;
            if (RenameNoReplace(file, name, taken)) {
                lasting = name;
                break;
            }
            if (!taken) break;
        }
        kept.push_back(lasting);
    }
    return kept;
}

} // namespace zem
