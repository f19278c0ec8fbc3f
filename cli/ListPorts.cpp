#include "Format.h"
#include "Inspect.h"
#include "JsonText.h"
#include "SerialPorts.h"

namespace zem::cli {

int ListPorts(bool json, std::FILE* out) {
    return PrintPorts(SerialPortList(), json, out);
}

int PrintPorts(const std::vector<SerialPortInfo>& ports, bool json, std::FILE* out) {
    for (const SerialPortInfo& p : ports) {
        if (json) {
            nlohmann::json j{{"port", p.name}};
            auto put = [&](const char* key, const std::string& v) {
                if (!v.empty()) j[key] = v;
            };
            put("usb_vendor_id", p.usbVendorId);
            put("usb_product_id", p.usbProductId);
            put("manufacturer", p.manufacturer);
            put("product", p.product);
            put("serial_number", p.serialNumber);
            if (p.latencyTimerMs >= 0) j["latency_timer_ms"] = p.latencyTimerMs;
            if (!p.byId.empty()) j["by_id"] = p.byId;
            if (!p.byPath.empty()) j["by_path"] = p.byPath;
            std::fprintf(out, "%s\n", JsonText(j).c_str());
            continue;
        }
        // Every text comes from the device or the system: none reaches the terminal raw.
        std::string line = Printable(p.name);
        if (!p.usbVendorId.empty())
            line += "  USB " + Printable(p.usbVendorId) + ":" + Printable(p.usbProductId);
        if (!p.manufacturer.empty()) line += "  " + Printable(p.manufacturer);
        if (!p.product.empty()) line += "  " + Printable(p.product);
        if (!p.serialNumber.empty()) line += "  serial " + Printable(p.serialNumber);
        if (p.latencyTimerMs >= 0)
            line += "  latency timer " + std::to_string(p.latencyTimerMs) + " ms";
        std::fprintf(out, "%s\n", line.c_str());
        // One alias a line, indented, so the first word of every line is a name that opens a port.
        for (const auto* names : {&p.byId, &p.byPath})
            for (const std::string& alias : *names)
                std::fprintf(out, "  %s\n", Printable(alias).c_str());
    }
    return 0;
}

} // namespace zem::cli
