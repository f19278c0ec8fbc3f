#include "SerialPorts.h"

#include "win32.h"

#include <algorithm>

namespace zem {

namespace {

// Value names of the open key, in the registry's order.
bool ValueNames(HKEY key, std::vector<std::string>& names) {
    DWORD count = 0, maxName = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &maxName, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    std::vector<char> buf(maxName + 1);
    for (DWORD i = 0; i < count; ++i) {
        DWORD len = static_cast<DWORD>(buf.size());
        if (RegEnumValueA(key, i, buf.data(), &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return false;
        names.emplace_back(buf.data(), len);
    }
    return true;
}

// A value's data as text; false when it is not of a string type.
bool ReadString(HKEY key, const std::string& name, std::string& text) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::string data(size, '\0');
    if (size > 0 && RegQueryValueExA(key, name.c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return false;
    // Stored data need not end in a NUL, or may hold more than one.
    data.resize(std::min<size_t>(size, data.size()));
    data.resize(data.find('\0') == std::string::npos ? data.size() : data.find('\0'));
    text = std::move(data);
    return true;
}

} // namespace

bool EnumerateSerialPorts(std::vector<SerialPortInfo>& ports) {
    ports.clear();
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    std::vector<std::string> names;
    bool ok = ValueNames(key, names);
    for (size_t i = 0; ok && i < names.size(); ++i) {
        SerialPortInfo info;
        ok = ReadString(key, names[i], info.name);
        if (ok) ports.push_back(std::move(info));
    }
    RegCloseKey(key);
    if (!ok) ports.clear();
    return ok;
}

} // namespace zem
