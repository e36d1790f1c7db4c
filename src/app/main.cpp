#include "Traduccion.h"
#include "frmVantoria.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    CargoTraduccionQt(app);
    // The user's settings live in the folder named after the program: ~/.config/Vantoria, %LOCALAPPDATA%\Vantoria.
    QCoreApplication::setApplicationName(QStringLiteral("Vantoria"));
    frmVantoria::Options options;
    options.configuracion = leoConfiguracion(QCoreApplication::applicationDirPath(), carpetaConfiguracionUsuario());
    frmVantoria window(std::move(options));
    window.show();
    // Ask for the focus: without a window manager (a bare X server) nothing else activates the window, and the
    // catalogue is read on its first activation.
    window.activateWindow();
    return app.exec();
}
