#include "Station.h"

#include "ProfileFile.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace zem {

void ReadStationKey(std::string& workingPath, std::string& serverPath) {
    const char* env = std::getenv("QUARN_ACTIVEOBJ_INI");
    std::string file = env && *env ? env : "/etc/Quarn/QuarnActiveObj.ini";
    ProfileFile ini;
    ini.Load(file);
    workingPath = ini.Get("QuarnActiveObj", "WorkingPath").value_or("");
    serverPath = ini.Get("QuarnActiveObj", "ServerPath").value_or("");
}

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

} // namespace zem
