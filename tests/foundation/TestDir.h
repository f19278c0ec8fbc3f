#pragma once
#include <string>

// A fresh temporary directory made current for the life of the object, removed afterwards.
class ScopedTestDir {
public:
    ScopedTestDir();
    ~ScopedTestDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const;

private:
    std::string path_;
    std::string previous_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
