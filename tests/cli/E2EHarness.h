#pragma once
// What the end-to-end tests of zemcli share: the programs of the build under test, files read
// whole, JSON lines, and zem-sim in the background. Linux only.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zem::e2e {

namespace fs = std::filesystem;

inline std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// A program of the build under test, by its path in the build folder.
inline std::string Bin(const std::string& rel) {
    return Env("ZEM_BINARY_DIR") + "/" + rel;
}

inline std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) v.push_back(nlohmann::json::parse(line));
    return v;
}

// A dump's name as zemcli makes it from a device path.
inline std::string DumpName(std::string port, const std::string& tail = "_Read.bin") {
    for (char& c : port)
        if (c == '/') c = '_';
    return port + tail;
}

// zem-sim in the background; its first output line is the pty.
class Sim {
public:
    Sim(const fs::path& dir, const std::string& args, const std::string& stream,
        const std::string& name = "sim")
        : dir_(dir), name_(name) {
        std::string cmd = "cd '" + dir.string() + "' && exec '" + Bin("tools/zem-sim") +
                          "' --quiet --timeout 120 --summary " + name + ".json " + args + " '" +
                          stream + "' > " + name + ".out";
        // An earlier simulator's output would give its pty name.
        fs::remove(dir / (name + ".out"));
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && pty_.empty(); ++i) {
            std::string out = ReadAll(dir / (name + ".out"));
            if (auto nl = out.find('\n'); nl != std::string::npos)
                pty_ = out.substr(0, nl);
            else
                usleep(50000);
        }
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;
    const std::string& Pty() const { return pty_; }
    pid_t Pid() const { return pid_; }
    // The module's side goes away at once, as a pulled adapter does.
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // Waits for the simulator to end and returns its summary.
    nlohmann::json Summary() {
        Reap();
        std::string s = ReadAll(dir_ / (name_ + ".json"));
        return s.empty() ? nlohmann::json() : nlohmann::json::parse(s);
    }
    // With --runs: one summary per run, once the simulator has ended.
    std::vector<nlohmann::json> Summaries() {
        Reap();
        return JsonLines(ReadAll(dir_ / (name_ + ".json")));
    }

private:
    void Reap() {
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    fs::path dir_;
    std::string name_;
    pid_t pid_ = -1;
    std::string pty_;
};

// A test in a folder of its own, kept when the test fails; stream files made in it.
class FolderTest : public ::testing::Test {
protected:
    explicit FolderTest(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               (prefix_ + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }
    // zem-mkstream's file `name` in the folder, with its options.
    std::string Stream(const std::string& name, const std::string& options) {
        std::string path = (dir_ / name).string();
        const std::string cmd = "cd '" + dir_.string() + "' && '" + Bin("tools/zem-mkstream") +
                                "' -q -o '" + path + "' " + options;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << options;
        return path;
    }

    fs::path dir_;

private:
    std::string prefix_;
};

} // namespace zem::e2e
