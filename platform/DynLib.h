#pragma once
#include <string>
#include <vector>

namespace zem {

// Where a library file named by the program is taken from. A name with a directory part is used
// as it stands; a bare name is looked for next to the executable first, then in the installed
// library folder (on Linux the private folder that `cmake --install` fills, found relative to the
// executable so that an unpacked package works where it lies; on Windows that is the program's
// own folder), then in the current directory, never in any other directory, so a file planted in
// a working directory cannot displace an installed one. Returns the path of the first candidate
// that opens for reading, or empty.
std::string FindLibraryFile(const std::string& name);

// The folders FindLibraryFile tries for `name`, in its order, each ending in a separator: what an
// operator needs to know when the library is in none of them. None for a name with a directory
// part, which is taken as it stands.
std::vector<std::string> LibrarySearchFolders(const std::string& name);

// A library loaded at run time; unloaded by Unload or the destructor.
class DynLib {
public:
    DynLib() = default;
    ~DynLib() { Unload(); }
    DynLib(const DynLib&) = delete;
    DynLib& operator=(const DynLib&) = delete;

    // Loads exactly the file at `path` (as FindLibraryFile gives it); no search.
    bool Load(const std::string& path);
    bool IsLoaded() const { return handle_ != nullptr; }
    // Why the last Load failed, in words (the loader's message); empty after a success.
    const std::string& LoadError() const { return loadError_; }
    void* Symbol(const char* name) const; // null when missing or nothing is loaded
    void Unload();

private:
    void* handle_ = nullptr;
    std::string loadError_;
};

} // namespace zem
