#pragma once
#include "NetSerial.h"

#include <string>

namespace zem {

// The operator's last choices and the two hand-edited switches, as kept in "Zem.ini".
struct Settings {
    std::string port = "COM1";
    std::string speed = "115200";
    std::string startPath;
    bool debug = false;       // read only, never written
    bool trigProgram = false; // read only, never written
    int top = 100;
    int left = 100;
    // [Network] CAFile, CertFile, KeyFile, for tls:// ports; read only, never written.
    TlsTrust trust = {};
    // [Line] Url, TokenFile, MaxUnsent: the line the station window sends its results to, as
    // zemcli's --line, --line-token-file and --max-unsent; read only, never written.
    struct Line {
        std::string url;       // empty: no line
        std::string tokenFile; // empty: $ZEM_LINE_TOKEN; relative: the start folder's
        std::string maxUnsent; // as written; empty: no hold
    } line;
};

// Decimal with an optional sign, or hexadecimal after "0x", "0X" or "$"; anything else (a word,
// an empty text, trailing characters, overflow) gives def.
int ParseProfileInt(const std::string& text, int def);

// Missing file, section or key: the defaults above.
Settings LoadSettings(const std::string& file);

// Writes Port, Speed, StartPath, Top and Left in one replacement of the file, leaving every other
// key and comment as it is. False, with the file as it was, when it cannot be written (read-only
// file, unreadable file, unwritable directory).
bool SaveSettings(const std::string& file, const Settings& s);

// Why the settings file cannot be written, in words ("the file is read-only"); empty when no
// reason can be told.
std::string SettingsWriteCause(const std::string& file);

} // namespace zem
