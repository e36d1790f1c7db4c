#include "Traduccion.h"
#include "frmVantoria.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    CargoTraduccionQt(app);
    frmVantoria window;
    window.show();
    // Ask for the focus: without a window manager (a bare X server) nothing else activates the window, and the
    // catalogue is read on its first activation.
    window.activateWindow();
    return app.exec();
}
