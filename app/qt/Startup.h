#pragma once
#include "Services.h"

#include <string>
#include <vector>

// The program on an existing QApplication: both windows, the command line (parameters after the
// program name), the message loop. Returns the process exit code.
int RunZem(const std::vector<std::string>& params, zem::Services services = zem::DefaultServices());
