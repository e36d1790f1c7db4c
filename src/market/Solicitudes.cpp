#include "Solicitudes.h"

#include <QRegularExpression>
#include <QUrl>

#include <charconv>
#include <cmath>

namespace solicitudes {

namespace {

const QString Listo = QStringLiteral("Listo!!!");

}  // namespace

QString codifico(const QString& valor) {
    return QString::fromLatin1(QUrl::toPercentEncoding(valor));
}

QString base(const QString& url) {
    QString out = url;
    while (out.endsWith(u'/'))
        out.chop(1);
    return out;
}

QString cuerpoIngreso(const QString& usuario, const QString& clave) {
    return QStringLiteral("fusuario=") + codifico(usuario) + QStringLiteral("&fclave=") + codifico(clave);
}

QString urlIngreso(const QString& pasarela) {
    return base(pasarela) + RutaIngreso;
}

QString urlPagina(const QString& mercado, int limite, qint32 offset, const QString& idVendedor) {
    return base(mercado) + RutaBusqueda + QStringLiteral("?limit=") + QString::number(limite) +
           QStringLiteral("&offset=") + QString::number(offset) + QStringLiteral("&seller_id=") + codifico(idVendedor);
}

QString urlPrecio(const QString& pasarela, const QString& idPublicacion, const QString& precio) {
    return base(pasarela) + RutaPrecio + QStringLiteral("?men=480613&item_id=") + codifico(idPublicacion) +
           QStringLiteral("&precio_item=") + codifico(precio);
}

QString urlPausa(const QString& pasarela) {
    return base(pasarela) + RutaPausa;
}

QString sinBlancos(const QString& texto) {
    qsizetype a = 0, b = texto.size();
    while (a < b && texto[a] == u' ')
        ++a;
    while (b > a && texto[b - 1] == u' ')
        --b;
    return texto.mid(a, b - a);
}

QString lineaDeRespuesta(const QString& info, QStringView cuerpo) {
    constexpr qsizetype Maximo = 200;
    static const QRegularExpression error(QStringLiteral("^HTTP/[0-9.]+ [45][0-9][0-9](?: |$)"));
    if (!error.match(info).hasMatch())
        return info;
    // Read only as far as the line needs: the body may be megabytes long.
    QString comienzo;
    bool blanco = false;
    for (qsizetype i = 0; i < cuerpo.size() && comienzo.size() < Maximo; ++i) {
        if (cuerpo[i].isSpace() || cuerpo[i].category() == QChar::Other_Control) {
            blanco = !comienzo.isEmpty();
            continue;
        }
        if (blanco)
            comienzo += u' ';
        blanco = false;
        comienzo += cuerpo[i];
    }
    comienzo.truncate(Maximo);
    return comienzo.isEmpty() ? info : info + QStringLiteral(": ") + comienzo;
}

qsizetype posicionListo(const QString& texto) {
    return texto.indexOf(Listo, 0, Qt::CaseInsensitive);
}

QString idVendedor(const QString& respuesta) {
    const qsizetype p = posicionListo(respuesta);
    if (p < 0)
        return QString();
    // A gateway that ends its answer with a line end would otherwise send it along inside seller_id.
    const auto blanco = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    qsizetype a = p + Listo.size(), b = respuesta.size();
    while (a < b && blanco(respuesta[a]))
        ++a;
    while (b > a && blanco(respuesta[b - 1]))
        --b;
    return respuesta.mid(a, b - a);
}

QString tituloAcotado(const QString& titulo) {
    if (titulo.size() <= MaxTitulo)
        return titulo;
    qsizetype n = MaxTitulo;
    if (titulo[n - 1].isHighSurrogate() && titulo[n].isLowSurrogate())
        --n;
    return titulo.left(n);
}

double valorInicial(QStringView t) {
    qsizetype i = 0;
    const qsizetype n = t.size();
    while (i < n && (t[i] == u' ' || t[i] == u'\t' || t[i] == u'\r' || t[i] == u'\n'))
        ++i;
    QByteArray number;
    if (i < n && (t[i] == u'+' || t[i] == u'-'))
        number += char(t[i++].unicode());
    const auto digits = [&] {
        qsizetype count = 0;
        while (i < n && t[i] >= u'0' && t[i] <= u'9') {
            number += char(t[i++].unicode());
            ++count;
        }
        return count;
    };
    qsizetype mantissa = digits();
    if (i < n && t[i] == u'.') {
        number += '.';
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return 0;
    if (i < n && (t[i] == u'e' || t[i] == u'E')) {
        const qsizetype mark = i;
        const qsizetype size = number.size();
        number += 'e';
        ++i;
        if (i < n && (t[i] == u'+' || t[i] == u'-'))
            number += char(t[i++].unicode());
        if (digits() == 0) {
            i = mark;
            number.truncate(size);
        }
    }
    double value = 0;
    const char* first = number.constData();
    if (*first == '+')
        ++first;
    std::from_chars(first, number.constData() + number.size(), value);
    return value;
}

QString numeroInforme(double valor) {
    char buffer[64];
    const double magnitude = std::fabs(valor);
    const auto res = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
    QString digits = QString::fromLatin1(buffer, res.ptr - buffer);
    if (digits.startsWith(QLatin1String("0.")))
        digits.remove(0, 1);
    return (valor < 0 ? QStringLiteral("-") : QStringLiteral(" ")) + digits;
}

QString textoEstado(int estado) {
    switch (estado) {
        case 0:
            return QStringLiteral("Información no disponible.");
        case 1:
            return QStringLiteral("Buscando ip de servidor.");
        case 2:
            return QStringLiteral("Hayado ip de servidor.");
        case 3:
            return QStringLiteral("Conectando con servidor.");
        case 4:
            return QStringLiteral("Conectado con servidor.");
        case 5:
            return QStringLiteral("Obteniendo información de servidor remoto.");
        case 6:
            return QStringLiteral("El requerimiento enviado al servidor exitosamente.");
        case 7:
            return QStringLiteral("Recibiendo respuesta del servidor.");
        case 8:
            return QStringLiteral("La respuesta recibida satisfactoriamente del servidor");
        case 9:
            return QStringLiteral("Desconectando del servidor.");
        case 10:
            return QStringLiteral("Desconectado del servidor.");
        case 11:
            return QStringLiteral("Un error ha ocurrido conectando al servidor.");
        case 12:
            return QString();
        default:
            return QStringLiteral("Estado desconocido: ") + QString::number(estado);
    }
}

}  // namespace solicitudes
