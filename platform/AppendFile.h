#pragma once
#include <string>

namespace zem {

// Appends `bytes` to a file (created when missing) with one write, and asks the system to put it
// on the disk before returning, so that a line reported as written survives a power cut. False
// with `cause` in words when any step fails (a full disk, a missing folder, no permission).
bool AppendAndSync(const std::string& path, const std::string& bytes, std::string& cause);

} // namespace zem
