#include "Startup.h"

#include <QtGlobal>

int main(int argc, char **argv) {
    // Everything the daemon says goes to syslog; Qt's own diagnostics would
    // go to the terminal, so they are dropped.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return vlmMain(argc, argv);
}
