#pragma once
#include <string>

namespace zem {

// The test station's key: WorkingPath and ServerPath. Missing key or values read as empty.
// Windows: HKLM\Software\Quarn\QuarnActiveObj. Linux: the INI file named by
// QUARN_ACTIVEOBJ_INI, else /etc/Quarn/QuarnActiveObj.ini, section [QuarnActiveObj].
void ReadStationKey(std::string& workingPath, std::string& serverPath);

// This machine's name on the network (empty when the system does not say), for records that
// must tell one station from another.
std::string HostName();

} // namespace zem
