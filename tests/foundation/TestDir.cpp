#include "TestDir.h"

#include "Paths.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

ScopedTestDir::ScopedTestDir() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path p = fs::temp_directory_path() /
                 ("zem-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(p);
    path_ = p.string();
    previous_ = zem::CurrentDir();
    zem::SetCurrentDir(path_);
}

ScopedTestDir::~ScopedTestDir() {
    zem::SetCurrentDir(previous_);
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string ScopedTestDir::File(const std::string& name) const {
    return (fs::path(path_) / name).string();
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
