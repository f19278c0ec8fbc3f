// The profile-file reader ("Zem.ini", the device configuration file) on arbitrary text.
#include "ProfileFile.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    zem::ProfileFile ini;
    ini.Parse(text);
    for (const char* section : {"System", "Form", "QuarnActiveObj", "", "COM1"})
        for (const char* key : {"Port", "Speed", "StartPath", "Name", "Top", ""})
            (void)ini.Get(section, key);
    // A value written must read back, whatever else the file holds.
    ini.Set("System", "Port", "COM42");
    ini.Set("Form", "Top", "-17");
    zem::ProfileFile again;
    again.Parse(ini.Text());
    if (again.Get("System", "Port").value_or("") != "COM42") __builtin_trap();
    if (again.Get("Form", "Top").value_or("") != "-17") __builtin_trap();
    return 0;
}
