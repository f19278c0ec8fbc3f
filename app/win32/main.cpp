#include "Paths.h"
#include "TFormMain.h"
#include "TFormStation.h"
#include "Window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <clocale>
#include <memory>
#include <string>
#include <vector>

namespace {

// The parameters after the program name, split by the system's rules, in the ANSI code page
// that the file and port functions take.
std::vector<std::string> CommandLineParams() {
    std::vector<std::string> params;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return params;
    for (int i = 1; i < argc; ++i) {
        int n = WideCharToMultiByte(CP_ACP, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? static_cast<size_t>(n) : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_ACP, 0, argv[i], -1, s.data(), n, nullptr, nullptr);
        s.resize(s.size() - 1);
        params.push_back(std::move(s));
    }
    LocalFree(argv);
    return params;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
    // Log archive names carry the date and time in the system's short date and long time formats.
    std::setlocale(LC_TIME, "");
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    const std::vector<std::string> params = CommandLineParams();
    // Settings, logs and dumps go to the working folder; an operator started in the programs' own
    // folder works in a folder of their own (a failure there is shown as any unwritable folder).
    zem::UseUserFolderIfInProgramFolder();

    if (params.size() == 1 && params[0] == "--station") {
        // The station window alone: the program ends when it closes.
        try {
            TFormStation station(zem::DefaultServices(), zem::CurrentDirWithSeparator() + "Zem.ini",
                                 true);
            station.Show();
            zemwin::RunMessageLoop();
        } catch (const std::exception& e) {
            zemwin::ShowExceptionBox(e.what());
        } catch (...) {
            zemwin::ShowExceptionBox("");
        }
        return 0;
    }
    std::unique_ptr<TFormMain> formMain;
    try {
        formMain = std::make_unique<TFormMain>(zem::DefaultServices());
        formMain->Show(showCommand);
        if (formMain->Logic().StartUp(params) == zem::FormMainLogic::StartMode::WrongCount)
            return 2;
        zemwin::RunMessageLoop();
    } catch (const std::exception& e) {
        zemwin::ShowExceptionBox(e.what());
    } catch (...) {
        zemwin::ShowExceptionBox("");
    }
    return formMain ? formMain->Logic().ProcessExitCode() : 0;
}
