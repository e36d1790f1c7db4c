#pragma once

#include <QLocale>

class QCoreApplication;

// Loads Qt's own translation for the language of `locale` (qtbase_<lang>.qm from Qt's translations folder, or from
// a "translations" folder beside the program, where a Windows installation keeps it), so that the buttons of the
// message boxes read "Sí", "No" and "Aceptar" under a Spanish locale. The program's own texts are Spanish already.
// False when no translation was found for that language; the buttons then stay as Qt writes them.
bool CargoTraduccionQt(QCoreApplication& app, const QLocale& locale = QLocale());
