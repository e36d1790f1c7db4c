#include "AvisoBaseDatos.h"

#include <QDir>
#include <QFileInfo>

namespace {

// What the engines say when the file, or the folder where SQLite writes its journal beside it, cannot be written:
// SQLite (also through its ODBC driver), and Jet through the Access driver.
bool sinEscritura(const QString& mensaje) {
    return mensaje.contains(QLatin1String("readonly database"), Qt::CaseInsensitive) ||
           mensaje.contains(QLatin1String("updateable query"), Qt::CaseInsensitive);
}

}  // namespace

QString avisoBaseDatos(const DatabaseError& e) {
    QString aviso = e.aviso();
    // The engine's words alone do not tell the operator that a file the account may write still needs a folder it
    // may write: SQLite creates its journal beside the file.
    if (sinEscritura(e.mensaje()))
        aviso += QStringLiteral(
                     "\rNo se puede escribir en la base de datos o en su carpeta, \"%1\": Vantoria "
                     "necesita permiso de escritura en las dos.")
                     .arg(QDir::toNativeSeparators(QFileInfo(e.archivo()).absolutePath()));
    return aviso;
}
