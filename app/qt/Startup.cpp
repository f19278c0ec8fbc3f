#include "Startup.h"

#include "TFormDebug.h"
#include "TFormMain.h"

#include <QApplication>

int RunZem(const std::vector<std::string>& params, zem::Services services) {
    // The main window alone decides when the program ends, even with the debug window open.
    QApplication::setQuitOnLastWindowClosed(false);
    TFormDebug formDebug;
    TFormMain formMain(formDebug, std::move(services));
    formMain.show();
    if (formMain.Logic().StartUp(params) == zem::FormMainLogic::StartMode::WrongCount) return 2;
    QApplication::exec();
    return formMain.Logic().ProcessExitCode();
}
