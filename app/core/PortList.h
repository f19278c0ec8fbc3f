#pragma once
#include <optional>
#include <string>
#include <vector>

namespace zem {

// Shorter names first, equal lengths by the locale's case-sensitive collation: COM2 before COM10.
bool PortNameLess(const std::string& a, const std::string& b);

// The port box's items: the names found, sorted; only "COM1" when the source failed. An empty
// result (no ports) stays empty.
std::vector<std::string> PortListItems(std::optional<std::vector<std::string>> found);

} // namespace zem
