#include "Station.h"

#include "ProfileFile.h"

#include <cstdlib>

namespace zem {

void ReadStationKey(std::string& workingPath, std::string& serverPath) {
    const char* env = std::getenv("QUARN_ACTIVEOBJ_INI");
    std::string file = env && *env ? env : "/etc/Quarn/QuarnActiveObj.ini";
    ProfileFile ini;
    ini.Load(file);
    workingPath = ini.Get("QuarnActiveObj", "WorkingPath").value_or("");
    serverPath = ini.Get("QuarnActiveObj", "ServerPath").value_or("");
}

} // namespace zem
