#pragma once
#include "LogArchive.h"
#include "MainView.h"
#include "ProgrammingRun.h"
#include "Services.h"
#include "StreamFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zem {

// Everything the main window and the debug window do, independent of any toolkit. A front end
// builds its controls, implements MainView, forwards its events to the handlers below and runs
// the message loop; this class does the rest.
class FormMainLogic {
public:
    enum class StartMode { Interactive, Unattended, WrongCount };

    // Longest stream file path and port name the protocol's buffers take.
    static constexpr size_t kMaxName = 255;
    // Presence readings in a row that let a run start when TrigProgram is on.
    static constexpr uint8_t kTrigThreshold = 3;

    FormMainLogic(MainView& view, Services services, TimeFormats archiveFormats = {});
    ~FormMainLogic();
    FormMainLogic(const FormMainLogic&) = delete;
    FormMainLogic& operator=(const FormMainLogic&) = delete;

    // The window's creation: start directory, port list, settings, first header check.
    void Create();
    // The command line (parameters after the program name). WrongCount: the usage box has been
    // shown and the program ends with code 2 without running its message loop.
    StartMode StartUp(const std::vector<std::string>& params);

    void ButtonProgramClick();
    void ButtonSfogliaClick();
    void ButtonDebugClick(bool fromDebugButton);
    void EditFilePathKeyDown(int key);
    void TimerAutoProgramTimer();
    void TimerTrigProgramTimer();
    // The close handler. False when the settings could not be written: the window stays open.
    bool FormClose();

    void CheckStreamFile(const std::string& path);
    void OnStatus(int code, int32_t value);
    // The protocol's callback; it reaches the one live window logic.
    static void StatusCallback(uint8_t code, int32_t value);

    int8_t ExitCode() const { return exitCode_; }
    int ProcessExitCode() const { return exitCode_; } // sign-extended
    bool AutoTerminate() const { return autoTerminate_; }
    bool Debug() const { return debug_; }
    bool TrigProgram() const { return trigProgram_; }
    uint8_t TrigCount() const { return trigCount_; }
    bool StreamValid() const { return streamValid_; }
    const HeaderBytes& StreamHeader() const { return streamHeader_; }
    const std::string& StartDir() const { return startDir_; }
    const std::string& LastDir() const { return lastDir_; }
    std::string SettingsFile() const { return startDir_ + "Zem.ini"; }
    bool Running() const { return running_; }

private:
    class RunView; // the run's events shown on this window
    friend class RunView;

    void Run();
    void SetCode(int8_t code);
    // A failure's alert; an unattended run that ends itself has nobody to close one.
    void FailureAlert(const std::string& text);
    void TellUnattended(const std::string& text);
    void DisableControls();
    void EnableControls();
    void SetStatus(const std::string& text);
    void Log(const std::string& line);
    void LoadSettings();
    bool SaveSettings();
    void FillPortList();

    MainView& view_;
    Services services_;
    TimeFormats archiveFormats_;

    bool streamValid_ = false;
    HeaderBytes streamHeader_{};
    ProgrammingRun* run_ = nullptr; // the run under way, if any
    bool trigProgram_ = false;
    uint8_t trigCount_ = 0;
    std::string lastDir_;
    bool debug_ = false;
    TlsTrust trust_; // "Zem.ini" [Network], its relative paths taken from the start directory
    bool autoTerminate_ = false;
    std::string startDir_;
    int8_t exitCode_ = 0;
    bool running_ = false;

    static FormMainLogic* current_;
};

// The directory part of a path (up to and including its last separator), empty when it has none.
std::string DirectoryPart(const std::string& path);

} // namespace zem
