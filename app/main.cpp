// vandrel: the desktop program.
#include <QApplication>

#include "VandrelApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    return CVandrelApp::Run(application);
}
