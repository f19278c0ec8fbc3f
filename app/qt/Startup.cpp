#include "Startup.h"

#include "Paths.h"
#include "TFormDebug.h"
#include "TFormMain.h"
#include "TFormStation.h"

#include <QApplication>

int RunZem(const std::vector<std::string>& params, zem::Services services) {
    if (params.size() == 1 && params[0] == "--station") {
        // The station window alone: the program ends when it closes.
        QApplication::setQuitOnLastWindowClosed(true);
        TFormStation station(std::move(services), zem::CurrentDirWithSeparator() + "Zem.ini");
        station.show();
        return QApplication::exec();
    }
    // The main window alone decides when the program ends, even with the debug window open.
    QApplication::setQuitOnLastWindowClosed(false);
    TFormDebug formDebug;
    TFormMain formMain(formDebug, std::move(services));
    formMain.show();
    if (formMain.Logic().StartUp(params) == zem::FormMainLogic::StartMode::WrongCount) return 2;
    QApplication::exec();
    return formMain.Logic().ProcessExitCode();
}
