#include "Traduccion.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

bool CargoTraduccionQt(QCoreApplication& app, const QLocale& locale) {
    auto* traductor = new QTranslator(&app);
    const QStringList carpetas{QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                               QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations"))};
    for (const QString& carpeta : carpetas) {
        if (traductor->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), carpeta)) {
            QCoreApplication::installTranslator(traductor);
            return true;
        }
    }
    delete traductor;
    return false;
}
