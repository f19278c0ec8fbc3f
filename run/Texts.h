#pragma once

#include "ZemVersion.h"

// The texts the program shows, exactly as the operator sees them.
namespace zem::txt {

inline constexpr const char* kVersion = ZEM_VERSION;
inline constexpr const char* kCaption = "Zem";
inline constexpr const char* kDebugCaption = "Zem Debug";
inline constexpr const char* kProgressHint = "Overall percentage";

inline constexpr const char* kGreeting =
    "Power off the module, press Program and then power it on.";
inline constexpr const char* kUsage = "Usage : Zem stream_file port speed [autoterminate(0/1)]";
inline constexpr const char* kUsageCaption = "Wrong parameter number";

inline constexpr const char* kFileNotFound = "Stream File not found";
inline constexpr const char* kNotValidFile = "Not valid Stream File";
inline constexpr const char* kCanNotOpen = "Can not open ";
inline constexpr const char* kPowerOn = "Power on the module";
inline constexpr const char* kNotProgrammed = "Error, module not programmed";
// The loader's answers came later than the handshake could tell: no record's answer can be
// trusted to be its own.
inline constexpr const char* kAnswersOutOfStep = "answers out of step with the records";
inline constexpr const char* kProgramComplete = "Program Complete";
inline constexpr const char* kWriteFailed = "Unable to write to %s";

inline constexpr const char* kLogVersion = "Flash Programmer %s";
inline constexpr const char* kLogBooting = "Booting, power ON module ";
inline constexpr const char* kLogSendFailed = "Can not send file %s";
inline constexpr const char* kLogOk = "OK";

// Refusals of our own: names the protocol's fixed buffers cannot hold, and the presence trigger.
inline constexpr const char* kPathTooLong = "Stream file path longer than 255 characters";
inline constexpr const char* kPortTooLong = "Port name longer than 255 characters";
inline constexpr const char* kWaitingForModule = "Waiting for the module";
// Said once at start-up: the settings, logs and dump files live in the working folder.
inline constexpr const char* kFolderNotWritable =
    "The working folder %s is not writable: settings, logs and dump files cannot be saved; "
    "start Zem from a folder of your own";
// A station's port states beside the run's own texts.
inline constexpr const char* kWaitingForRemoval = "Waiting for the module to be taken out";
inline constexpr const char* kPortLostWaiting = "Port %s lost: %s, waiting for it";
inline constexpr const char* kPortReopenFailed = "it can not be opened";
inline constexpr const char* kPortAbsentWaiting = "Port %s not found: %s, waiting for it";
inline constexpr const char* kPortDone = "Done";

// Status bar text for a protocol status code: null for the countdown (8), which changes nothing;
// "Bad status..." for a code outside the table.
inline constexpr const char* StatusTextFor(int code) {
    constexpr const char* texts[] = {"Idle",       "Linking...", "Linked", "Programming...",
                                     "Programmed", "Reading...", "Idle",   "Error"};
    if (code == 8) return nullptr;
    return code >= 0 && code < 8 ? texts[code] : "Bad status...";
}

inline constexpr const char* kOpenFilter = "binary (*.bin)|*.bin|all files|*.*";

} // namespace zem::txt
