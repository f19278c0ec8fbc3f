#pragma once
#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <string>

// What /proc says of this process: open descriptors, threads, resident memory.
struct ProcStats {
    int fds = 0;
    int threads = 0;
    int64_t rssKb = 0;

    static ProcStats Now() {
        ProcStats s;
        if (DIR* d = opendir("/proc/self/fd")) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') ++s.fds;
            closedir(d);
            --s.fds; // the directory's own descriptor
        }
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Threads:", 0) == 0) s.threads = std::stoi(line.substr(8));
            if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::stoll(line.substr(6));
        }
        return s;
    }
};
