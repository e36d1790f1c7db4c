#include "Configuracion.h"

#include "Endpoints.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

namespace {

// A value as a file gave it, and that file.
struct Valor {
    QString texto;
    QString archivo;
};

struct Archivo {
    QString ruta;
    std::unique_ptr<QSettings> ajustes;
};

QString nombre(const QString& ruta) {
    return QStringLiteral("%1 (%2)").arg(QString::fromLatin1(ArchivoConfiguracion), QDir::toNativeSeparators(ruta));
}

// The value of the last file that sets `clave` to something; an empty value leaves the key as the files before it
// left it, so an example file may list every key with nothing after the "=".
std::optional<Valor> busco(const std::vector<Archivo>& archivos, const QString& clave) {
    std::optional<Valor> valor;
    for (const Archivo& a : archivos) {
        const QVariant v = a.ajustes->value(clave);
        // An unquoted value with commas comes back as a list.
        const QString texto = v.metaType().id() == QMetaType::QStringList ? v.toStringList().join(u',') : v.toString();
        if (!texto.trimmed().isEmpty())
            valor = Valor{texto.trimmed(), a.ruta};
    }
    return valor;
}

QString ruta(const Valor& v) {
    return QDir::cleanPath(QFileInfo(v.archivo).dir().absoluteFilePath(QDir::fromNativeSeparators(v.texto)));
}

}  // namespace

Configuracion Configuracion::deCompilacion() {
    Configuracion c;
    c.urlMercado = QString::fromUtf8(endpoints::Mercado);
    c.urlPasarela = QString::fromUtf8(endpoints::Pasarela);
    c.autoridadesExtra = QSslCertificate::fromData(QByteArray(endpoints::AutoridadesExtra), QSsl::Pem);
    return c;
}

Configuracion leoConfiguracion(const QString& carpetaPrograma, const QString& carpetaUsuario,
                               Configuracion predeterminada) {
    Configuracion c = std::move(predeterminada);
    std::vector<Archivo> archivos;
    for (const QString& carpeta : {carpetaPrograma, carpetaUsuario}) {
        if (carpeta.isEmpty())
            continue;
        const QString archivo = QDir(carpeta).absoluteFilePath(QString::fromLatin1(ArchivoConfiguracion));
        if (!QFileInfo(archivo).isFile())
            continue;
        auto ajustes = std::make_unique<QSettings>(archivo, QSettings::IniFormat);
        if (ajustes->status() != QSettings::NoError) {
            c.problemas << nombre(archivo) + QStringLiteral(": el archivo no se puede leer; se ignora.");
            continue;
        }
        archivos.push_back(Archivo{archivo, std::move(ajustes)});
    }

    const auto problema = [&c](const Valor& v, const QString& clave, const QString& que) {
        c.problemas << QStringLiteral("%1, clave %2: %3").arg(nombre(v.archivo), clave, que);
    };

    // A plain http:// address is never used: the password and the prices would travel in clear.
    const auto direccion = [&](const char* seccion, const char* clave, QString& destino) {
        const auto v = busco(archivos, QString::fromLatin1(seccion) + u'/' + QString::fromLatin1(clave));
        if (!v)
            return;
        const QUrl url(v->texto, QUrl::StrictMode);
        const QString nombreClave =
            QStringLiteral("[%1] %2").arg(QString::fromLatin1(seccion), QString::fromLatin1(clave));
        if (!url.isValid() || url.scheme() != QStringLiteral("https"))
            problema(*v, nombreClave,
                     QStringLiteral("\"%1\" no es una dirección https://; se usa la predeterminada.").arg(v->texto));
        else if (url.host().isEmpty())
            problema(*v, nombreClave,
                     QStringLiteral("\"%1\" no nombra ningún servidor; se usa la predeterminada.").arg(v->texto));
        else
            destino = v->texto;
    };
    direccion("marketplace", "url", c.urlMercado);
    direccion("gateway", "url", c.urlPasarela);

    if (const auto v = busco(archivos, QStringLiteral("tls/extra_ca"))) {
        const QString archivo = ruta(*v);
        const QString mostrado = QDir::toNativeSeparators(archivo);
        QFile pem(archivo);
        if (!QFileInfo::exists(archivo)) {
            problema(*v, QStringLiteral("[tls] extra_ca"),
                     QStringLiteral("el archivo \"%1\" no existe; se usa el valor predeterminado.").arg(mostrado));
        } else if (QFileInfo(archivo).isDir() || !pem.open(QIODevice::ReadOnly)) {
            problema(
                *v, QStringLiteral("[tls] extra_ca"),
                QStringLiteral("el archivo \"%1\" no se puede leer; se usa el valor predeterminado.").arg(mostrado));
        } else if (const QList<QSslCertificate> certificados = QSslCertificate::fromData(pem.readAll(), QSsl::Pem);
                   certificados.isEmpty()) {
            problema(*v, QStringLiteral("[tls] extra_ca"),
                     QStringLiteral("el archivo \"%1\" no contiene ningún certificado PEM; se usa el valor "
                                    "predeterminado.")
                         .arg(mostrado));
        } else {
            c.autoridadesExtra = certificados;
        }
    }

    // A missing catalogue is told by the catalogue's own load, with the path it tried.
    if (const auto v = busco(archivos, QStringLiteral("catalogue/file")))
        c.archivoCatalogo = ruta(*v);

    if (const auto v = busco(archivos, QStringLiteral("journal/folder"))) {
        const QString carpeta = ruta(*v);
        const QFileInfo info(carpeta);
        if (info.isDir())
            c.carpetaDiario = carpeta;
        else if (info.exists())
            problema(*v, QStringLiteral("[journal] folder"),
                     QStringLiteral("\"%1\" no es una carpeta; se usa el valor predeterminado.")
                         .arg(QDir::toNativeSeparators(carpeta)));
        else
            problema(*v, QStringLiteral("[journal] folder"),
                     QStringLiteral("la carpeta \"%1\" no existe; se usa el valor predeterminado.")
                         .arg(QDir::toNativeSeparators(carpeta)));
    }
    return c;
}

QString carpetaConfiguracionUsuario() {
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}
