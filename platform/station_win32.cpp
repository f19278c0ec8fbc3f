#include "Station.h"

#include "win32.h"

namespace zem {

namespace {
std::string ReadText(HKEY key, const char* name) {
    char buf[2048];
    DWORD type = 0;
    DWORD size = sizeof buf - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    buf[size] = 0;
    return std::string(buf);
}
} // namespace

void ReadStationKey(std::string& workingPath, std::string& serverPath) {
    workingPath.clear();
    serverPath.clear();
    HKEY key;
    // Read access is enough; asking for full access fails for ordinary users.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quarn\\QuarnActiveObj", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    workingPath = ReadText(key, "WorkingPath");
    serverPath = ReadText(key, "ServerPath");
    RegCloseKey(key);
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return {};
    return std::string(name, size);
}

} // namespace zem
