#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace zem {

// Where the read-back dumps of a station's ports go, so that none is ever lost. Each port saves
// into a file of its own; a numbered station then gives each dump the next number after the
// highest one already in the folder for that port ("PORT_Read_7.bin"), and never replaces a file
// that exists. Ports whose names would give one file name (names longer than the protocol keeps,
// alike in their first 64 characters) get names told apart by a fingerprint of the whole name.
// A run whose module sends several read-backs saves each under a name of its own (the protocol
// numbers the second and later ones) and each gets a lasting number of its own.
// Thread-safe: each port's thread calls for its own slot.
class DumpFiles {
public:
    // `dir`: the folder, empty for the current one. `numbered`: a station of many modules per
    // port; otherwise each port keeps the one name "PORT_Read.bin" (replaced by its next run).
    DumpFiles(const std::vector<std::string>& ports, std::string dir, bool numbered);

    // The file the protocol saves a port's read-back into.
    std::string SaveName(size_t slot) const;
    // Gives what a run saved its lasting name and returns the lasting names. A dump that cannot
    // be renamed keeps the name it was saved under.
    std::vector<std::string> Keep(size_t slot, const std::vector<std::string>& saved);

    // The name of a port's dumps without "_Read...": the protocol's name for the port, with the
    // fingerprint when another port of the list would give the same.
    static std::vector<std::string> Stems(const std::vector<std::string>& ports);
    // A file can be made in `dir` (empty: the current folder): one is made and removed again.
    // False with the system's cause ("Permission denied", "Read-only file system").
    static bool FolderTakesFiles(const std::string& dir, std::string& cause);

private:
    std::string Path(const std::string& name) const;

    std::string dir_;
    bool numbered_;
    std::vector<std::string> stems_;
    std::vector<unsigned> highest_; // per slot, the highest number seen or given
    std::mutex mutex_;
};

} // namespace zem
