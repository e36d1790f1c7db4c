// vantoria-journal: lists the price requests of the journal, one row each, and a summary per batch.

#include "Diario.h"
#include "JSON.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>

namespace {

const char Uso[] =
    "Uso: vantoria-journal [--batch N|last] [--failed] [--month AAAA-MM] [--csv] [ARCHIVO...]\n"
    "Muestra las solicitudes de precio del diario: hora, producto, publicación, precio y resultado, y un resumen\n"
    "por tanda. Sin ARCHIVO lee el diario de este mes (o el de --month) en la carpeta del diario.\n"
    "  --batch N     solo la tanda N (--batch last: la última)\n"
    "  --failed      solo las rechazadas, con error o de resultado desconocido\n"
    "  --month AAAA-MM  el diario de ese mes\n"
    "  --csv         en CSV (RFC 4180), para abrir en una hoja de cálculo\n"
    "Sale con 0; 2 si las opciones están mal; 66 si algún archivo no se pudo leer.\n";

struct Solicitud {
    QString hora, id, codigo, producto, publicacion, precio;
    int tanda = 0;
    QString resultado = QStringLiteral("desconocido");
    QString detalle;
};

QString texto(const json::Dictionary& d, const char* clave) {
    const json::JsonValue& v = d.Item(QString::fromLatin1(clave));
    return v.isText() || v.isNumber() ? v.toText() : QString();
}

QString csv(const QString& campo) {
    if (!campo.contains(u',') && !campo.contains(u'"') && !campo.contains(u'\n') && !campo.contains(u'\r'))
        return campo;
    return u'"' + QString(campo).replace(u'"', QLatin1String("\"\"")) + u'"';
}

QString cuantos(int n, const char* palabra) {
    return QString::number(n) + u' ' + QString::fromLatin1(palabra) + (n == 1 ? "" : "s");
}

int uso(const QString& error) {
    QTextStream(stderr) << "vantoria-journal: " << error << "\n" << Uso;
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList archivos;
    QString tandaPedida, mes;
    bool soloFallas = false, enCsv = false;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            QTextStream(stdout) << Uso;
            return 0;
        } else if (a == QLatin1String("--failed")) {
            soloFallas = true;
        } else if (a == QLatin1String("--csv")) {
            enCsv = true;
        } else if (a == QLatin1String("--batch") || a == QLatin1String("--month")) {
            if (++i >= args.size())
                return uso(a + QStringLiteral(" necesita un valor."));
            (a == QLatin1String("--batch") ? tandaPedida : mes) = args[i];
        } else if (a.startsWith(u'-') && a.size() > 1) {
            return uso(QStringLiteral("opción desconocida: ") + a);
        } else {
            archivos << a;
        }
    }
    static const QRegularExpression numeroTanda(QStringLiteral("^(last|[1-9][0-9]{0,8})$"));
    if (!tandaPedida.isNull() && !numeroTanda.match(tandaPedida).hasMatch())
        return uso(QStringLiteral("--batch espera un número de tanda o last, no ") + tandaPedida);
    QDateTime cuando = QDateTime::currentDateTimeUtc();
    if (!mes.isNull()) {
        cuando = QDateTime::fromString(mes + QStringLiteral("-01T00:00:00Z"), Qt::ISODate);
        if (!cuando.isValid() || mes.size() != 7)
            return uso(QStringLiteral("--month espera AAAA-MM, no ") + mes);
    }
    if (archivos.isEmpty())
        archivos << archivoDelMes(carpetaDiario(), cuando);

    QTextStream err(stderr);
    int salida = 0;
    QList<Solicitud> solicitudes;
    QMap<QString, qsizetype> porId;
    for (const QString& ruta : archivos) {
        QFile f;
        bool abierto = false;
        if (ruta == QLatin1String("-")) {
            abierto = f.open(stdin, QIODevice::ReadOnly);
        } else if (!QFileInfo(ruta).isDir()) {
            f.setFileName(ruta);
            abierto = f.open(QIODevice::ReadOnly);
        }
        if (!abierto) {
            err << "vantoria-journal: no se pudo leer " << ruta << ": "
                << (QFileInfo(ruta).isDir() ? QStringLiteral("es una carpeta") : f.errorString()) << "\n";
            salida = 66;
            continue;
        }
        for (int n = 1; !f.atEnd(); ++n) {
            const QByteArray linea = f.readLine().trimmed();
            if (linea.isEmpty())
                continue;
            const std::optional<json::JsonValue> v = ParseJsonUtf8(linea);
            const json::Dictionary* d = v ? v->asDictionary() : nullptr;
            const QString evento = d && ParserErrors().isEmpty() ? texto(*d, "event") : QString();
            if (evento == QLatin1String("intent")) {
                Solicitud s;
                s.hora = texto(*d, "time");
                s.id = texto(*d, "id");
                s.codigo = texto(*d, "product");
                s.producto = texto(*d, "name");
                s.publicacion = texto(*d, "listing");
                s.precio = texto(*d, "price");
                s.tanda = texto(*d, "batch").toInt();
                porId.insert(s.id, solicitudes.size());
                solicitudes << s;
            } else if (evento == QLatin1String("outcome") && porId.contains(texto(*d, "id"))) {
                Solicitud& s = solicitudes[porId.value(texto(*d, "id"))];
                const QString r = texto(*d, "outcome");
                s.resultado = r == QLatin1String("applied")   ? QStringLiteral("aplicado")
                              : r == QLatin1String("refused") ? QStringLiteral("rechazado")
                                                              : QStringLiteral("con error");
                s.detalle = r == QLatin1String("refused") ? texto(*d, "answer") : texto(*d, "info");
            } else if (evento != QLatin1String("batch-start") && evento != QLatin1String("batch-end") &&
                       evento != QLatin1String("outcome")) {
                err << "vantoria-journal: " << ruta << ", línea " << n << ": no se puede leer; se omite.\n";
            }
        }
    }

    int tanda = 0;
    if (tandaPedida == QLatin1String("last")) {
        for (const Solicitud& s : solicitudes)
            tanda = std::max(tanda, s.tanda);
    } else if (!tandaPedida.isNull()) {
        tanda = tandaPedida.toInt();
    }
    QTextStream out(stdout);
    if (enCsv)
        out << "hora,tanda,producto,nombre,publicacion,precio,resultado,detalle\r\n";
    struct Cuenta {
        int aplicados = 0, rechazados = 0, conError = 0, desconocidos = 0;
    };
    QMap<int, Cuenta> cuentas;
    for (const Solicitud& s : solicitudes) {
        if (tanda > 0 && s.tanda != tanda)
            continue;
        if (s.tanda > 0) {
            Cuenta& c = cuentas[s.tanda];
            (s.resultado == QLatin1String("aplicado")    ? c.aplicados
             : s.resultado == QLatin1String("rechazado") ? c.rechazados
             : s.resultado == QLatin1String("con error") ? c.conError
                                                         : c.desconocidos)++;
        }
        if (soloFallas && s.resultado == QLatin1String("aplicado"))
            continue;
        if (enCsv) {
            out << csv(s.hora) << ',' << s.tanda << ',' << csv(s.codigo) << ',' << csv(s.producto) << ','
                << csv(s.publicacion) << ',' << csv(s.precio) << ',' << s.resultado << ',' << csv(s.detalle) << "\r\n";
        } else {
            QString nombre = s.producto;
            nombre.replace(QRegularExpression(QStringLiteral("[\\r\\n\\t]+")), QStringLiteral(" "));
            out << s.hora << "  " << (s.tanda > 0 ? QStringLiteral("tanda %1").arg(s.tanda) : QStringLiteral("suelto"))
                << "  " << s.codigo << ' ' << nombre << "  " << s.publicacion << "  " << s.precio << "  " << s.resultado
                << "\n";
        }
    }
    if (!enCsv) {
        for (auto it = cuentas.cbegin(); it != cuentas.cend(); ++it)
            out << "Tanda " << it.key() << ": " << cuantos(it->aplicados, "aplicado") << ", "
                << cuantos(it->rechazados, "rechazado") << ", " << it->conError << " con error, "
                << cuantos(it->desconocidos, "desconocido") << "\n";
    }
    return salida;
}
