#include "Startup.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    std::vector<std::string> params(argv + 1, argv + argc);
    // The command line is Zem's alone: Qt does not get to read "-style" or "-platform" from it
    // (its environment variables still work).
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    // The installed desktop entry and icon: the window's icon, and what Wayland matches it by.
    QGuiApplication::setDesktopFileName("zem");
    QApplication::setWindowIcon(QIcon::fromTheme("zem"));
    return RunZem(params);
}
