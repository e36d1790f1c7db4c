// vantoria-journal: lists the price requests of the journal, one row each, and a summary per batch.

#include "Configuracion.h"
#include "Diario.h"
#include "JSON.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

namespace {

const char Uso[] =
    "Uso: vantoria-journal [--batch N|last] [--failed] [--month AAAA-MM] [--csv|--csv-rfc] [ARCHIVO...]\n"
    "Muestra las solicitudes de precio del diario: hora (la de este equipo), producto, publicación, precio y\n"
    "resultado, y un resumen por tanda. Sin ARCHIVO lee el diario de este mes (o el de --month) en la carpeta del\n"
    "diario: la que diga [journal] folder en Vantoria.ini, como la ventana, o si no la de los datos del usuario.\n"
    "  --batch N     solo la tanda N (--batch last: la última que empezó)\n"
    "  --failed      solo lo que sigue sin aplicarse: lo rechazado, con error o de resultado desconocido cuya\n"
    "                publicación no recibió después un precio aplicado\n"
    "  --month AAAA-MM  el diario de ese mes\n"
    "  --csv         en CSV para la hoja de cálculo de este equipo: si los números llevan coma decimal, \";\" entre\n"
    "                campos y \",\" en los números; si no, \",\" y \".\"\n"
    "  --csv-rfc     en CSV RFC 4180 (\",\" entre campos, \".\" en los números), para otros programas\n"
    "Sale con 0; 2 si las opciones están mal; 66 si algún archivo no se pudo leer.\n";

struct Solicitud {
    QString hora, id, codigo, producto, publicacion, precio;
    int tanda = 0;
    QString claveTanda;
    QString resultado = QStringLiteral("desconocido");
    QString detalle;
};

struct Tanda {
    int numero = 0;
    QString inicio;   // the start line's time (UTC); empty when no file read holds it
    QString primera;  // the time of its first request, to order batches whose start was not read
    bool terminada = false, detenida = false, cancelada = false;
    int sinEnviar = 0;
    int aplicados = 0, rechazados = 0, conError = 0, desconocidos = 0;
    QString orden() const { return inicio.isEmpty() ? primera : inicio; }
};

QString texto(const json::Dictionary& d, const char* clave) {
    const json::JsonValue& v = d.Item(QString::fromLatin1(clave));
    return v.isText() || v.isNumber() ? v.toText() : QString();
}

// A batch is its start time and its number; lines written before batches carried their start time are known by
// their file and number.
QString claveDe(const json::Dictionary& d, const QString& ruta) {
    const QString inicio = texto(d, "batch_start");
    return (inicio.isEmpty() ? QStringLiteral("archivo ") + ruta : inicio) + u'#' + texto(d, "batch");
}

// Times are kept in UTC and shown in this computer's time; a time that does not read is shown as it stands.
QString horaLocal(const QString& utc) {
    const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : utc;
}

// A NUL would end the text in many programs that read it.
QString sinNulos(QString t) {
    return t.replace(QChar(u'\0'), QChar(0xFFFD));
}

// A field of text. One that begins like a formula (a product's name, a gateway's answer) is kept as text by a
// leading apostrophe, so a spreadsheet never runs it.
QString campo(const QString& valor, QChar separador) {
    QString c = sinNulos(valor);
    if (!c.isEmpty() && QStringLiteral("=+-@\t\r").contains(c.front()))
        c.prepend(u'\'');
    if (!c.contains(separador) && !c.contains(u'"') && !c.contains(u'\n') && !c.contains(u'\r'))
        return c;
    return u'"' + c.replace(u'"', QLatin1String("\"\"")) + u'"';
}

// A price as the spreadsheet reads numbers; one that is not a plain number stays text.
QString campoPrecio(const QString& precio, QChar separador, QChar decimal) {
    static const QRegularExpression numero(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?$"));
    if (!numero.match(precio).hasMatch())
        return campo(precio, separador);
    return QString(precio).replace(u'.', decimal);
}

QString cuantos(int n, const char* palabra) {
    return QString::number(n) + u' ' + QString::fromLatin1(palabra) + (n == 1 ? "" : "s");
}

int uso(const QString& error) {
    QTextStream(stderr) << "vantoria-journal: " << error << "\n" << Uso;
    return 2;
}

// The line as a JSON object. A line glued to the torn end of the line before it (written before the journal ended
// such lines) is read from the last object that begins inside it and reads whole.
const json::Dictionary* leoLinea(const QByteArray& linea, std::optional<json::JsonValue>& v, bool& entera) {
    entera = true;
    for (qsizetype desde = 0;;) {
        v = ParseJsonUtf8(QByteArrayView(linea).sliced(desde));
        const json::Dictionary* d = v && ParserErrors().isEmpty() ? v->asDictionary() : nullptr;
        if (d && !texto(*d, "event").isEmpty())
            return d;
        entera = false;
        if ((desde = linea.indexOf("{\"", desde + 1)) < 0)
            return nullptr;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    // The window's settings folder is named after it: ~/.config/Vantoria, %LOCALAPPDATA%\Vantoria.
    QCoreApplication::setApplicationName(QStringLiteral("Vantoria"));
    QStringList archivos;
    QString tandaPedida, mes;
    bool soloFallas = false, enCsv = false, rfc = false;
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
        } else if (a == QLatin1String("--csv-rfc")) {
            enCsv = rfc = true;
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
    QTextStream err(stderr);
    if (archivos.isEmpty()) {
        // The journal the window writes: the folder of [journal] folder, read as the window reads its settings.
        const Configuracion c = leoConfiguracion(QCoreApplication::applicationDirPath(), carpetaConfiguracionUsuario());
        for (const QString& problema : c.problemas)
            if (problema.contains(QLatin1String("[journal]"), Qt::CaseInsensitive))
                err << "vantoria-journal: " << problema << "\n";
        archivos << archivoDelMes(c.carpetaDiario.isEmpty() ? carpetaDiario() : c.carpetaDiario, cuando);
    }

    int salida = 0;
    QList<Solicitud> solicitudes;
    QHash<QString, qsizetype> porId;
    QHash<QString, Tanda> tandas;
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
        int malas = 0;
        for (int n = 1; !f.atEnd(); ++n) {
            const QByteArray linea = f.readLine().trimmed();
            if (linea.isEmpty())
                continue;
            std::optional<json::JsonValue> v;
            bool entera = true;
            const json::Dictionary* d = leoLinea(linea, v, entera);
            if (!entera) {
                ++malas;
                err << "vantoria-journal: " << ruta << ", línea " << n << ": no se puede leer; se omite"
                    << (d ? QStringLiteral(" su comienzo.\n") : QStringLiteral(".\n"));
            }
            if (!d)
                continue;
            const QString evento = texto(*d, "event");
            if (evento == QLatin1String("intent")) {
                Solicitud s;
                s.hora = texto(*d, "time");
                s.id = texto(*d, "id");
                s.codigo = texto(*d, "product");
                s.producto = texto(*d, "name");
                s.publicacion = texto(*d, "listing");
                s.precio = texto(*d, "price");
                s.tanda = texto(*d, "batch").toInt();
                if (s.tanda > 0) {
                    s.claveTanda = claveDe(*d, ruta);
                    Tanda& t = tandas[s.claveTanda];
                    t.numero = s.tanda;
                    if (t.primera.isEmpty())
                        t.primera = s.hora;
                }
                porId.insert(s.id, solicitudes.size());
                solicitudes << s;
            } else if (evento == QLatin1String("outcome")) {
                if (!porId.contains(texto(*d, "id")))
                    continue;
                Solicitud& s = solicitudes[porId.value(texto(*d, "id"))];
                const QString r = texto(*d, "outcome");
                s.resultado = r == QLatin1String("applied")   ? QStringLiteral("aplicado")
                              : r == QLatin1String("refused") ? QStringLiteral("rechazado")
                                                              : QStringLiteral("con error");
                s.detalle = r == QLatin1String("refused") ? texto(*d, "answer") : texto(*d, "info");
            } else if (evento == QLatin1String("batch-start") || evento == QLatin1String("batch-end")) {
                Tanda& t = tandas[claveDe(*d, ruta)];
                t.numero = texto(*d, "batch").toInt();
                if (evento == QLatin1String("batch-start")) {
                    t.inicio = texto(*d, "time");
                } else {
                    t.terminada = true;
                    const json::JsonValue& parada = d->Item(QStringLiteral("stopped"));
                    t.detenida = parada.isBoolean() && parada.boolean();
                    t.sinEnviar = texto(*d, "unsent").toInt();
                    const json::JsonValue& cancelada = d->Item(QStringLiteral("cancelled"));
                    t.cancelada = cancelada.isBoolean() && cancelada.boolean();
                }
            } else if (entera) {
                ++malas;
                err << "vantoria-journal: " << ruta << ", línea " << n << ": no se puede leer; se omite.\n";
            }
        }
        if (malas > 0)
            err << "vantoria-journal: " << ruta << ": "
                << (malas == 1 ? QStringLiteral("1 línea no se pudo leer.")
                               : QStringLiteral("%1 líneas no se pudieron leer.").arg(malas))
                << "\n";
    }
    // Whatever order the files came in, requests are listed in the order they were sent.
    std::stable_sort(solicitudes.begin(), solicitudes.end(),
                     [](const Solicitud& a, const Solicitud& b) { return a.hora < b.hora; });

    QSet<QString> elegidas;
    if (tandaPedida == QLatin1String("last")) {
        QString ultima;
        for (auto it = tandas.cbegin(); it != tandas.cend(); ++it)
            if (ultima.isNull() || it->orden() > tandas.value(ultima).orden())
                ultima = it.key();
        elegidas.insert(ultima.isNull() ? QStringLiteral("ninguna") : ultima);
    } else if (!tandaPedida.isNull()) {
        for (auto it = tandas.cbegin(); it != tandas.cend(); ++it)
            if (it->numero == tandaPedida.toInt())
                elegidas.insert(it.key());
        if (elegidas.isEmpty())
            elegidas.insert(QStringLiteral("ninguna"));
    }
    // What a later request applied to the same listing is no longer pending.
    QList<bool> aplicadoDespues(solicitudes.size(), false);
    QSet<QString> aplicadas;
    for (qsizetype i = solicitudes.size() - 1; i >= 0; --i) {
        aplicadoDespues[i] = aplicadas.contains(solicitudes[i].publicacion);
        if (solicitudes[i].resultado == QLatin1String("aplicado"))
            aplicadas.insert(solicitudes[i].publicacion);
    }

    // The spreadsheet reads numbers as this computer writes them; a decimal comma needs another field separator.
    const bool comaDecimal = !rfc && QLocale::system().decimalPoint() == QLatin1String(",");
    const QChar separador = comaDecimal ? u';' : u',', decimal = comaDecimal ? u',' : u'.';
    QTextStream out(stdout);
    if (enCsv)
        out << QStringList{"hora", "tanda", "producto", "nombre", "publicacion", "precio", "resultado", "detalle"}.join(
                   separador)
            << "\r\n";
    for (qsizetype i = 0; i < solicitudes.size(); ++i) {
        const Solicitud& s = solicitudes[i];
        if (!elegidas.isEmpty() && !elegidas.contains(s.claveTanda))
            continue;
        if (s.tanda > 0) {
            Tanda& t = tandas[s.claveTanda];
            (s.resultado == QLatin1String("aplicado")    ? t.aplicados
             : s.resultado == QLatin1String("rechazado") ? t.rechazados
             : s.resultado == QLatin1String("con error") ? t.conError
                                                         : t.desconocidos)++;
        }
        if (soloFallas && (s.resultado == QLatin1String("aplicado") || aplicadoDespues[i]))
            continue;
        if (enCsv) {
            out << campo(horaLocal(s.hora), separador) << separador << s.tanda << separador
                << campo(s.codigo, separador) << separador << campo(s.producto, separador) << separador
                << campo(s.publicacion, separador) << separador << campoPrecio(s.precio, separador, decimal)
                << separador << s.resultado << separador << campo(s.detalle, separador) << "\r\n";
        } else {
            QString nombre = sinNulos(s.producto);
            nombre.replace(QRegularExpression(QStringLiteral("[\\r\\n\\t]+")), QStringLiteral(" "));
            out << horaLocal(s.hora) << "  "
                << (s.tanda > 0 ? QStringLiteral("tanda %1").arg(s.tanda) : QStringLiteral("suelto")) << "  "
                << sinNulos(s.codigo) << ' ' << nombre << "  " << sinNulos(s.publicacion) << "  " << sinNulos(s.precio)
                << "  " << s.resultado << "\n";
        }
    }
    if (!enCsv) {
        QStringList orden;
        for (auto it = tandas.cbegin(); it != tandas.cend(); ++it)
            if (elegidas.isEmpty() || elegidas.contains(it.key()))
                orden << it.key();
        std::sort(orden.begin(), orden.end(), [&](const QString& a, const QString& b) {
            const QString oa = tandas.value(a).orden(), ob = tandas.value(b).orden();
            return oa != ob ? oa < ob : a < b;
        });
        for (const QString& clave : orden) {
            const Tanda& t = tandas[clave];
            out << "Tanda " << t.numero;
            if (!t.inicio.isEmpty())
                out << " (" << horaLocal(t.inicio) << ')';
            out << ": " << cuantos(t.aplicados, "aplicado") << ", " << cuantos(t.rechazados, "rechazado") << ", "
                << t.conError << " con error, " << cuantos(t.desconocidos, "desconocido");
            // A batch whose start line is in a file not read may still be running or have ended there.
            if (t.detenida)
                out << (t.cancelada ? "; cancelada, " : "; detenida, ") << t.sinEnviar << " sin enviar";
            else if (t.terminada)
                out << "; terminada";
            else if (!t.inicio.isEmpty())
                out << "; interrumpida";
            out << "\n";
        }
    }
    return salida;
}
