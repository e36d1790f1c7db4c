#include "frmVantoria.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    frmVantoria window;
    window.show();
    return app.exec();
}
