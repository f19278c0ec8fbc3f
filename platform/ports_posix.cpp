#include "SysfsTty.h"

#include <dirent.h>
#include <fstream>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace zem {

namespace {

std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The USB device a tty hangs from, found by walking up from its device to the first directory
// that carries a vendor id.
void AddUsbDetails(const std::string& ttyDir, SerialPortInfo& info) {
    char real[PATH_MAX];
    if (!realpath((ttyDir + "/device").c_str(), real)) return;
    std::string dir = real;
    while (!dir.empty()) {
        if (Exists(dir + "/idVendor")) {
            info.usbVendorId = ReadAttribute(dir + "/idVendor");
            info.usbProductId = ReadAttribute(dir + "/idProduct");
            info.manufacturer = ReadAttribute(dir + "/manufacturer");
            info.product = ReadAttribute(dir + "/product");
            info.serialNumber = ReadAttribute(dir + "/serial");
            return;
        }
        size_t slash = dir.rfind('/');
        if (slash == std::string::npos) return;
        dir.resize(slash);
    }
}

// A USB serial adapter's latency timer in milliseconds (ftdi_sio shows it), -1 where there is
// none. The tty's device is the usb-serial port, the directory that
// /sys/bus/usb-serial/devices/<tty> also leads to.
int LatencyTimerMs(const std::string& ttyDir) {
    std::string text = ReadAttribute(ttyDir + "/device/latency_timer");
    if (text.empty() || text.size() > 3) return -1;
    int ms = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        ms = ms * 10 + (c - '0');
    }
    return ms;
}

} // namespace

bool EnumerateSysfsTtys(const std::string& classDir, std::vector<SerialPortInfo>& ports) {
    ports.clear();
    std::string root = classDir;
    if (root.empty() || root.back() != '/') root += '/';
    DIR* d = opendir(root.c_str());
    if (!d) return false;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::string dir = root + name;
        // Virtual terminals and pseudo-terminals have no device behind them.
        if (!Exists(dir + "/device")) continue;
        // The serial core lists every port slot it reserved; type 0 means no UART answered there.
        if (ReadAttribute(dir + "/type") == "0") continue;
        SerialPortInfo info;
        info.name = "/dev/" + name;
        AddUsbDetails(dir, info);
        info.latencyTimerMs = LatencyTimerMs(dir);
        ports.push_back(std::move(info));
    }
    closedir(d);
    return true;
}

bool EnumerateSerialPorts(std::vector<SerialPortInfo>& ports) {
    return EnumerateSysfsTtys("/sys/class/tty/", ports);
}

} // namespace zem
