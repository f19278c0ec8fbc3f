#include "FormMainLogic.h"

#include "Clock.h"
#include "Format.h"
#include "OpenCause.h"
#include "Paths.h"
#include "SerialPorts.h"
#include "Settings.h"
#include "Texts.h"
#include "Treport.h"

#include <algorithm>
#include <filesystem>

namespace zem {

FormMainLogic* FormMainLogic::current_ = nullptr;

namespace {

constexpr int kEnterKey = 13;

constexpr Item kRunControls[] = {Item::ButtonProgram, Item::EditFilePath, Item::ButtonDebug,
                                 Item::ComboBoxSpeed, Item::ComboBoxPort, Item::ButtonSfoglia};

} // namespace

std::string DirectoryPart(const std::string& path) {
    const char* separators = PathSeparator() == '\\' ? "\\:" : "/";
    size_t cut = path.find_last_of(separators);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

FormMainLogic::FormMainLogic(MainView& view, Services services, TimeFormats archiveFormats)
    : view_(view), services_(std::move(services)), archiveFormats_(std::move(archiveFormats)) {
    current_ = this;
}

FormMainLogic::~FormMainLogic() {
    if (current_ == this) current_ = nullptr;
}

void FormMainLogic::Create() {
    lastDir_.clear();
    streamValid_ = false;
    trigCount_ = 0;
    trigProgram_ = false;
    startDir_ = CurrentDirWithSeparator();
    FillPortList();
    LoadSettings();
    CheckStreamFile(view_.Text(Item::EditFilePath));
    view_.SetVisible(Item::ButtonDebug, debug_);
}

FormMainLogic::StartMode FormMainLogic::StartUp(const std::vector<std::string>& params) {
    autoTerminate_ = false;
    view_.EnableAutoProgramTimer(false);
    // Said now rather than found out when the window closes and its settings cannot be written.
    // Only an operator at the window gets an alert: an unattended run must not wait for one.
    const bool writable = IsFolderWritable(startDir_);
    const std::string notWritable = Format(txt::kFolderNotWritable, startDir_.c_str());
    if (!writable) Log(notWritable);
    if (params.empty()) {
        if (!writable) view_.ShowAlert(notWritable);
        view_.ShowAlert(txt::kGreeting);
        return StartMode::Interactive;
    }
    if (params.size() == 3 || params.size() == 4) {
        autoTerminate_ = params.size() == 4 && params[3] == "1";
        if (!writable && autoTerminate_) TellUnattended(notWritable);
        view_.SetText(Item::EditFilePath, params[0]);
        view_.SetText(Item::ComboBoxPort, params[1]);
        view_.SetText(Item::ComboBoxSpeed, params[2]);
        view_.EnableAutoProgramTimer(true);
        return StartMode::Unattended;
    }
    view_.ShowMessage(txt::kUsageCaption, txt::kUsage);
    return StartMode::WrongCount;
}

void FormMainLogic::FillPortList() {
    std::optional<std::vector<SerialPortInfo>> found;
    if (services_.listPorts) found = services_.listPorts();
    // Ports in their natural order, each followed by its own aliases. Names come from the system
    // and the devices: shown with their control characters escaped, as zemcli lists them.
    std::vector<std::string> items;
    for (auto& name : PortNamesWithAliases(SortPortList(std::move(found))))
        items.push_back(Printable(name));
    view_.SetPortItems(items);
    view_.SetText(Item::ComboBoxSpeed, "115200");
}

void FormMainLogic::LoadSettings() {
    Settings s = zem::LoadSettings(SettingsFile());
    view_.SetText(Item::ComboBoxPort, s.port);
    view_.SetText(Item::ComboBoxSpeed, s.speed);
    view_.SetText(Item::EditFilePath, s.startPath);
    debug_ = s.debug;
    trigProgram_ = s.trigProgram;
    // The window may change the current directory (the file dialog); the settings file's
    // neighbours stay where they are.
    auto fromStart = [this](const std::string& path) {
        return path.empty() || std::filesystem::path(path).is_absolute() ? path : startDir_ + path;
    };
    trust_ = {fromStart(s.trust.caFile), fromStart(s.trust.certFile), fromStart(s.trust.keyFile)};
    view_.MoveMainWindow(s.left, s.top);
}

bool FormMainLogic::SaveSettings() {
    Settings s;
    s.port = view_.Text(Item::ComboBoxPort);
    s.speed = view_.Text(Item::ComboBoxSpeed);
    s.startPath = view_.Text(Item::EditFilePath);
    WindowRect r = view_.MainWindowRect();
    s.top = r.top;
    s.left = r.left;
    return zem::SaveSettings(SettingsFile(), s);
}

void FormMainLogic::SetStatus(const std::string& text) {
    view_.SetText(Item::StatusBar, text);
    // A new text outside a run (a header check) is no longer the run's outcome.
    if (!running_) view_.ShowOutcome(RunOutcome::kNone);
}

void FormMainLogic::Log(const std::string& line) {
    view_.AppendDebugLine(line);
}

void FormMainLogic::SetCode(int8_t code) {
    exitCode_ = code;
    view_.ShowOutcome(code == 0 ? RunOutcome::kSucceeded : RunOutcome::kFailed);
    if (autoTerminate_) view_.RequestQuit();
}

void FormMainLogic::FailureAlert(const std::string& text) {
    if (autoTerminate_)
        TellUnattended(text);
    else
        view_.ShowAlert(text);
}

void FormMainLogic::TellUnattended(const std::string& text) {
    // A script or a line controller waits for the exit code: the text goes where it and the
    // station's trace can read it, one record per line.
    TReport trace(debug_ ? 20 : 0, view_.Text(Item::ComboBoxPort).c_str());
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(begin, end - begin);
        trace.Fail(0, line);
        if (services_.errorOutput) services_.errorOutput(line);
        begin = end + 1;
    }
}

void FormMainLogic::DisableControls() {
    for (Item i : kRunControls)
        view_.SetEnabled(i, false);
    view_.SetBusyCursor(true);
}

void FormMainLogic::EnableControls() {
    for (Item i : kRunControls)
        view_.SetEnabled(i, true);
    view_.SetBusyCursor(false);
}

void FormMainLogic::CheckStreamFile(const std::string& path) {
    HeaderCheck r = zem::CheckStreamFile(path);
    streamHeader_ = r.header;
    streamValid_ = r.valid;
    if (!r.labelsKept) {
        view_.SetText(Item::LabelSwVer, r.softwareVersion);
        view_.SetText(Item::LabelProdName, r.productName);
    }
    SetStatus(r.status);
}

void FormMainLogic::ButtonDebugClick(bool fromDebugButton) {
    const std::string path = view_.Text(Item::EditFilePath);
    CheckStreamFile(path);
    view_.SetText(Item::DebugSwVer, view_.Text(Item::LabelSwVer));
    view_.SetText(Item::DebugProdName, view_.Text(Item::LabelProdName));
    HeaderLabels l;
    if (streamValid_) {
        l = MakeHeaderLabels(streamHeader_);
        if (!l.flashKnown) {
            streamValid_ = false;
            SetStatus(kStatusBadFlash);
        } else if (!StreamRecordsEndExactly(path)) {
            // A cut file would be programmed up to its last whole record and then fail.
            streamValid_ = false;
            SetStatus(kStatusNotValid);
        }
    }
    view_.SetText(Item::DebugFlashType, l.flashType);
    view_.SetText(Item::DebugHeaderLength, l.headerLength);
    view_.SetText(Item::DebugStrVer, l.streamVersion);
    view_.SetText(Item::DebugBootTypeHex, l.bootType);
    view_.SetText(Item::DebugSpeedOff, l.speedOffset);
    view_.SetText(Item::DebugCrcHex, l.crc);
    if (view_.DebugWindowVisible() || fromDebugButton) {
        WindowRect r = view_.MainWindowRect();
        view_.ShowDebugWindowAt(r.left + r.width, r.top);
    }
}

void FormMainLogic::EditFilePathKeyDown(int key) {
    if (key == kEnterKey) ButtonDebugClick(false);
}

void FormMainLogic::ButtonSfogliaClick() {
    std::string remembered = CurrentDir();
    std::string initial = DirectoryPart(view_.Text(Item::EditFilePath));
    if (initial.empty()) initial = lastDir_;
    if (initial.empty()) initial = startDir_;
    if (auto picked = view_.RunOpenDialog(initial)) {
        view_.SetText(Item::EditFilePath, *picked);
        ButtonDebugClick(false);
    }
    lastDir_ = CurrentDir();
    if (lastDir_ != remembered) SetCurrentDir(remembered);
}

void FormMainLogic::ButtonProgramClick() {
    // The status callback lets timers run during a run; none of them may start a second one.
    if (running_) return;
    running_ = true;
    view_.ShowOutcome(RunOutcome::kNone);
    DisableControls();
    Run();
    EnableControls();
    running_ = false;
}

// The run's events on the two windows, in the order the operator has always seen them.
class FormMainLogic::RunView : public RunEvents {
public:
    explicit RunView(FormMainLogic& logic) : l_(logic) {}

    void Status(const std::string& text) override { l_.SetStatus(text); }
    void Progress(int code, int32_t value) override {
        // The countdown changes nothing; a code outside the table leaves the progress bar.
        if (code >= 0 && code < 8) l_.view_.SetProgress(value);
        l_.view_.ProcessPendingMessages();
    }
    void Message(const std::string& line) override { l_.Log(line); }
    StreamVerdict CheckStream(const std::string&) override {
        l_.ButtonDebugClick(false);
        l_.view_.ProcessPendingMessages();
        if (l_.streamValid_ && l_.debug_) ArchiveLog(l_.startDir_, l_.archiveFormats_);
        return {l_.streamValid_, l_.view_.Text(Item::StatusBar)};
    }
    void Result(const RunResult& r) override {
        MainView& view = l_.view_;
        switch (r.outcome) {
        case RunEnd::PathTooLong:
            l_.SetCode(4);
            l_.FailureAlert(r.status);
            break;
        case RunEnd::StreamMissing:
        case RunEnd::StreamInvalid:
            l_.SetCode(static_cast<int8_t>(r.exitCode));
            l_.FailureAlert(r.alert);
            break;
        case RunEnd::PortNotOpened: {
            // The cause, when known, is one more line under the program's own text. The operator
            // reads the alert before the run ends; an unattended run that ends itself does not
            // wait for one.
            const std::string text =
                r.cause.empty() ? r.alert : r.alert + "\n" + CauseLine(r.cause);
            if (l_.autoTerminate_) {
                l_.SetCode(5);
                l_.TellUnattended(text);
            } else {
                view.ShowAlert(text);
            }
            l_.Log(r.alert);
            if (!r.cause.empty()) l_.Log(CauseLine(r.cause));
            if (!l_.autoTerminate_) l_.SetCode(5);
            break;
        }
        case RunEnd::NotProgrammed:
            view.SetProgress(0);
            l_.SetCode(7);
            // No alert here; a script still reads why its run failed.
            if (l_.autoTerminate_) l_.TellUnattended(r.status);
            break;
        case RunEnd::Programmed:
            l_.SetCode(0);
            view.ShowAlert(r.alert);
            view.ClearDebugLines();
            view.SetProgress(0);
            break;
        }
    }

private:
    FormMainLogic& l_;
};

void FormMainLogic::Run() {
    if (trigProgram_ && trigCount_ < kTrigThreshold) {
        SetStatus(txt::kWaitingForModule);
        return;
    }
    RunRequest request;
    request.stream = view_.Text(Item::EditFilePath);
    request.port = view_.Text(Item::ComboBoxPort);
    request.speed = view_.Text(Item::ComboBoxSpeed);
    request.levelCode = debug_ ? 20 : 0;
    request.trust = trust_;
    RunView events(*this);
    ProgrammingRun run(std::move(request), services_, events);
    run_ = &run;
    // A wait of the protocol can last 40 s with one callback a second: the window is served from
    // inside the waits as well, so that it repaints and a close ends the wait at once.
    ScopedWaitPump pump([this] { view_.ProcessPendingMessages(); });
    run.Execute();
    run_ = nullptr;
}

void FormMainLogic::TimerAutoProgramTimer() {
    view_.EnableAutoProgramTimer(false);
    // With the trigger on, an unattended run waits for the module instead of being refused once.
    if (trigProgram_ && trigCount_ < kTrigThreshold && !running_) {
        SetStatus(txt::kWaitingForModule);
        view_.EnableAutoProgramTimer(true);
        return;
    }
    ButtonProgramClick();
}

void FormMainLogic::TimerTrigProgramTimer() {
    if (!trigProgram_ || running_) return;
    bool present =
        services_.modulePresent && services_.modulePresent(view_.Text(Item::ComboBoxPort));
    trigCount_ = present ? std::min<uint8_t>(trigCount_ + 1, kTrigThreshold) : 0;
}

bool FormMainLogic::FormClose() {
    // Also a close that comes before the run has its protocol object (during the header check):
    // the run would otherwise go on programming with no window.
    if (run_) run_->Abort();
    // A settings file that cannot be written is reported, and the window closes all the same:
    // an unwritable folder must not keep a production program from ending.
    if (!SaveSettings()) {
        std::string message = Format(txt::kWriteFailed, SettingsFile().c_str());
        std::string why = SettingsWriteCause(SettingsFile());
        if (!why.empty()) message.append("\n").append(CauseLine(why));
        view_.ShowError(message);
    }
    return true;
}

void FormMainLogic::OnStatus(int code, int32_t value) {
    // The countdown changes nothing; a code outside the table leaves the progress bar.
    if (const char* text = txt::StatusTextFor(code)) {
        SetStatus(text);
        if (code >= 0 && code < 8) view_.SetProgress(value);
    }
    view_.ProcessPendingMessages();
}

void FormMainLogic::StatusCallback(uint8_t code, int32_t value) {
    if (current_) current_->OnStatus(code, value);
}

} // namespace zem
