#include "Configuracion.h"

#include "Endpoints.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QUrl>

#include <optional>
#include <vector>

namespace {

// The sections of a Vantoria.ini and their keys, as they are written in the documents; a file may write them in any
// letter case.
struct Seccion {
    const char* nombre;
    const char* clave;
};
constexpr Seccion Secciones[] = {
    {"marketplace", "url"}, {"gateway", "url"}, {"tls", "extra_ca"}, {"catalogue", "file"}, {"journal", "folder"}};

// The values one file sets, by "section/key" in lower case, and that file.
struct Archivo {
    QString ruta;
    QHash<QString, QString> valores;
};

// A value as a file gave it, and that file.
struct Valor {
    QString texto;
    QString archivo;
};

QString nombre(const QString& ruta) {
    return QStringLiteral("%1 (%2)").arg(QString::fromLatin1(ArchivoConfiguracion), QDir::toNativeSeparators(ruta));
}

const Seccion* seccion(const QString& nombreSeccion) {
    for (const Seccion& s : Secciones)
        if (nombreSeccion.compare(QLatin1String(s.nombre), Qt::CaseInsensitive) == 0)
            return &s;
    return nullptr;
}

// Reads the file line by line: "[section]", "key = value", and comments beginning with ";" or "#". Qt's INI reader
// is not used: it takes a backslash as an escape, so a Windows path written as the operator writes it
// (C:\Tienda\base.dba with single backslashes) silently became "C:iendaase.dba", and it matches sections and
// keys in their exact letter case, so "[Gateway]" was ignored without a word. Values are taken as they stand, but
// for quotes around them or a comment after them; a line that names no section or key of the program is told.
std::optional<Archivo> leoArchivo(const QString& ruta, QStringList& problemas) {
    QFile archivo(ruta);
    if (!archivo.open(QIODevice::ReadOnly)) {
        problemas << nombre(ruta) + QStringLiteral(": el archivo no se puede leer; se ignora.");
        return std::nullopt;
    }
    QByteArray bytes = archivo.readAll();
    if (bytes.startsWith("\xEF\xBB\xBF"))  // the mark Windows' Notepad may put before UTF-8 text
        bytes.remove(0, 3);
    Archivo a{ruta, {}};
    const Seccion* actual = nullptr;
    bool enSeccion = false;  // false before the first section header
    const QStringList lineas = QString::fromUtf8(bytes).split(u'\n');
    for (qsizetype n = 0; n < lineas.size(); ++n) {
        const QString linea = lineas[n].trimmed();
        if (linea.isEmpty() || linea.startsWith(u';') || linea.startsWith(u'#'))
            continue;
        if (linea.startsWith(u'[') && linea.endsWith(u']')) {
            const QString s = linea.mid(1, linea.size() - 2).trimmed();
            enSeccion = true;
            actual = seccion(s);
            if (!actual)
                problemas << QStringLiteral(
                                 "%1, sección [%2]: Vantoria no tiene esa sección; se ignora con sus "
                                 "claves. Las secciones son [marketplace], [gateway], [tls], [catalogue] y "
                                 "[journal].")
                                 .arg(nombre(ruta), s);
            continue;
        }
        const qsizetype igual = linea.indexOf(u'=');
        if (igual <= 0) {
            problemas << QStringLiteral("%1, línea %2: \"%3\" no es una sección ni una clave; se ignora.")
                             .arg(nombre(ruta))
                             .arg(n + 1)
                             .arg(linea);
            continue;
        }
        const QString clave = linea.left(igual).trimmed();
        QString valor = linea.mid(igual + 1).trimmed();
        if (!enSeccion) {
            problemas << QStringLiteral("%1, clave %2: no está dentro de ninguna sección; se ignora.")
                             .arg(nombre(ruta), clave);
            continue;
        }
        if (!actual)
            continue;  // its section was told
        const QString seccionNombre = QString::fromLatin1(actual->nombre);
        const QString claveNombre = QString::fromLatin1(actual->clave);
        if (clave.compare(claveNombre, Qt::CaseInsensitive) != 0) {
            problemas << QStringLiteral(
                             "%1, clave [%2] %3: Vantoria no tiene esa clave; se ignora. La clave de "
                             "[%2] es %4.")
                             .arg(nombre(ruta), seccionNombre, clave, claveNombre);
            continue;
        }
        // A value in quotes is what they hold; otherwise a ";" begins a comment, as it did in Qt's format.
        if (const qsizetype cierre = valor.indexOf(u'"', 1); valor.startsWith(u'"') && cierre > 0)
            valor = valor.mid(1, cierre - 1).trimmed();
        else if (const qsizetype comentario = valor.indexOf(u';'); comentario >= 0)
            valor = valor.left(comentario).trimmed();
        a.valores.insert(seccionNombre + u'/' + claveNombre, valor);
    }
    return a;
}

// The value of the last file that sets `clave` to something; an empty value leaves the key as the files before it
// left it, so an example file may list every key with nothing after the "=".
std::optional<Valor> busco(const std::vector<Archivo>& archivos, const QString& clave) {
    std::optional<Valor> valor;
    for (const Archivo& a : archivos) {
        const QString texto = a.valores.value(clave);
        if (!texto.isEmpty())
            valor = Valor{texto, a.ruta};
    }
    return valor;
}

// A path as a Windows user writes it, C:\Tienda\base.dba, or with the doubled backslashes the files have always
// accepted, C:\\Tienda\\base.dba, or with slashes: a backslash, or two in a row, is one separator.
QString separadores(const QString& texto) {
    QString r;
    r.reserve(texto.size());
    for (qsizetype i = 0; i < texto.size(); ++i) {
        if (texto[i] != u'\\') {
            r += texto[i];
            continue;
        }
        r += u'/';
        if (i + 1 < texto.size() && texto[i + 1] == u'\\')
            ++i;
    }
    return r;
}

QString ruta(const Valor& v) {
    return QDir::cleanPath(QFileInfo(v.archivo).dir().absoluteFilePath(separadores(v.texto)));
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
        if (std::optional<Archivo> a = leoArchivo(archivo, c.problemas))
            archivos.push_back(std::move(*a));
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
        // The operator is told which address is used instead.
        if (!url.isValid() || url.scheme() != QStringLiteral("https"))
            problema(*v, nombreClave,
                     QStringLiteral("\"%1\" no es una dirección https://; se usa la predeterminada, \"%2\".")
                         .arg(v->texto, destino));
        else if (url.host().isEmpty())
            problema(*v, nombreClave,
                     QStringLiteral("\"%1\" no nombra ningún servidor; se usa la predeterminada, \"%2\".")
                         .arg(v->texto, destino));
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
