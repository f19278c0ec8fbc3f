#include "SysfsTty.h"

#include <algorithm>
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

void AddSerialAliases(const std::string& serialDir, std::vector<SerialPortInfo>& ports) {
    std::vector<struct stat> devices(ports.size());
    std::vector<bool> known(ports.size());
    for (size_t i = 0; i < ports.size(); ++i)
        known[i] = stat(ports[i].name.c_str(), &devices[i]) == 0;
    std::string root = serialDir;
    if (root.empty() || root.back() != '/') root += '/';
    for (bool byId : {true, false}) {
        std::string dir = root + (byId ? "by-id/" : "by-path/");
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.empty() || name[0] == '.') continue;
            struct stat st {};
            if (stat((dir + name).c_str(), &st) != 0) continue; // a link to nothing
            // The same file, whatever the chain of links that leads to it.
            for (size_t i = 0; i < ports.size(); ++i) {
                if (!known[i] || st.st_dev != devices[i].st_dev || st.st_ino != devices[i].st_ino)
                    continue;
                (byId ? ports[i].byId : ports[i].byPath).push_back(dir + name);
            }
        }
        closedir(d);
    }
    for (SerialPortInfo& p : ports) {
        std::sort(p.byId.begin(), p.byId.end());
        std::sort(p.byPath.begin(), p.byPath.end());
    }
}

bool EnumerateSerialPorts(std::vector<SerialPortInfo>& ports) {
    if (!EnumerateSysfsTtys("/sys/class/tty/", ports)) return false;
    AddSerialAliases("/dev/serial/", ports);
    return true;
}

} // namespace zem
