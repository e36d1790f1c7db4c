#include "LectorHttp.h"

#include <QList>

#include <algorithm>
#include <utility>

#include <cctype>
#include <cstring>

#include <zlib.h>

namespace {

const QString NoValida = QStringLiteral("Respuesta no válida del servidor: ");

QString mebibytes(qint64 bytes) {
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'g', 6);
}

bool esTchar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

QByteArray sinEspacios(QByteArray v) {
    qsizetype a = 0, b = v.size();
    while (a < b && (v[a] == ' ' || v[a] == '\t'))
        ++a;
    while (b > a && (v[b - 1] == ' ' || v[b - 1] == '\t'))
        --b;
    return v.mid(a, b - a);
}

// The members of a comma-separated header value, without blanks, in lower case, empty members left out.
QList<QByteArray> miembros(const QByteArray& valor) {
    QList<QByteArray> out;
    for (const QByteArray& m : valor.split(','))
        if (const QByteArray t = sinEspacios(m).toLower(); !t.isEmpty())
            out << t;
    return out;
}

// A whole number of decimal digits only, up to 18 of them; -1 otherwise.
qint64 decimal(const QByteArray& t) {
    if (t.isEmpty() || t.size() > 18)
        return -1;
    qint64 v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

}  // namespace

struct LectorHttp::Descompresor {
    z_stream z{};
    bool listo = false;  // inflate is set up
    bool fin = false;
    // "deflate" is meant as zlib-wrapped, but old IIS and PHP's gzdeflate() send it raw: the first two bytes tell.
    QByteArray cabeza;
    explicit Descompresor(bool deflate) {
        if (!deflate)
            empiezo(32 + MAX_WBITS);  // gzip or zlib, told apart by their header
    }
    ~Descompresor() {
        if (listo)
            inflateEnd(&z);
    }
    void empiezo(int bits) {
        inflateInit2(&z, bits);
        listo = true;
    }
    // A zlib header: method 8, a window of at most 32 KiB, and a check that makes the pair a multiple of 31.
    static bool esZlib(unsigned char cmf, unsigned char flg) {
        return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
    }
};

LectorHttp::LectorHttp(const Limites& limites) : lim_(limites) {}
LectorHttp::LectorHttp() = default;
LectorHttp::~LectorHttp() = default;

bool LectorHttp::fallo(const QString& porque) {
    if (estado_ == Estado::Faltan) {
        estado_ = Estado::Fallida;
        error_ = porque;
    }
    zlib_.reset();
    cuerpo_.clear();
    return false;
}

// Gathers a line up to its LF (a CR before it is dropped). 1: `linea` holds a whole line; 0: the bytes ran out
// first; -1: the line would be longer than `maximo`.
qsizetype LectorHttp::leoLinea(const char* d, qsizetype n, qsizetype& i, QByteArray& linea, qsizetype maximo) {
    const void* lf = std::memchr(d + i, '\n', size_t(n - i));
    const qsizetype fin = lf ? static_cast<const char*>(lf) - d : n;
    if (linea_.size() + (fin - i) > maximo)
        return -1;
    linea_.append(d + i, fin - i);
    i = fin;
    if (!lf)
        return 0;
    ++i;
    linea = std::move(linea_);
    linea_.clear();
    if (linea.endsWith('\r'))
        linea.chop(1);
    return 1;
}

LectorHttp::Estado LectorHttp::lee(const char* d, qsizetype n) {
    if (estado_ != Estado::Faltan) {
        sobrantes_ += n;
        return estado_;
    }
    if (n > 0)
        empezada_ = true;
    qsizetype i = 0;
    while (i < n && estado_ == Estado::Faltan) {
        switch (fase_) {
            case Fase::Estado:
            case Fase::Encabezados:
            case Fase::Remolque: {
                QByteArray linea;
                const qsizetype r = leoLinea(d, n, i, linea, lim_.encabezados - bytesEncabezados_);
                if (r < 0) {
                    fallo(NoValida + QStringLiteral("los encabezados superan %1 KiB.").arg(lim_.encabezados / 1024));
                    break;
                }
                if (r == 0)
                    break;
                bytesEncabezados_ += linea.size() + 1;
                const bool plegada = fase_ != Fase::Estado && !linea.isEmpty() && (linea[0] == ' ' || linea[0] == '\t');
                if (linea.contains('\r') || linea.contains('\0') || (plegada && anterior_.isEmpty())) {
                    fallo(NoValida + QStringLiteral("línea de encabezado mal formada."));
                } else if (fase_ == Fase::Estado) {
                    lineaDeEstado(linea);
                } else if (!linea.isEmpty() && ++lineas_ > lim_.lineas) {
                    fallo(NoValida + QStringLiteral("más de %1 líneas de encabezado.").arg(lim_.lineas));
                } else if (plegada) {
                    // A folded line (obs-fold) goes on the one before, the fold read as one blank.
                    anterior_ += ' ' + sinEspacios(linea);
                } else if (!anterior_.isEmpty() && !lineaDeEncabezado(std::exchange(anterior_, {}))) {
                    break;
                } else if (!linea.isEmpty()) {
                    anterior_ = linea;
                } else if (fase_ == Fase::Remolque) {
                    terminoCuerpo();
                } else if (codigo_ < 200) {
                    // An interim answer ends: the final one follows on the same connection.
                    largo_ = -1;
                    transferencia_.clear();
                    compresion_.clear();
                    fase_ = Fase::Estado;
                } else {
                    empiezoCuerpo();
                }
                break;
            }
            case Fase::Tamano:
            case Fase::FinBloque: {
                QByteArray linea;
                const qsizetype r = leoLinea(d, n, i, linea, fase_ == Fase::Tamano ? 1024 : 1);
                if (r == 0)
                    break;
                if (r < 0 || fase_ == Fase::FinBloque) {
                    if (r < 0 || !linea.isEmpty())
                        fallo(NoValida + QStringLiteral("bloque mal formado."));
                    else
                        fase_ = Fase::Tamano;
                    break;
                }
                const qsizetype fin = linea.indexOf(';');
                const QByteArray tamano = sinEspacios(fin < 0 ? linea : linea.left(fin));
                bool ok = !tamano.isEmpty() && tamano.size() <= 15;
                for (char c : tamano)
                    ok = ok && std::isxdigit(static_cast<unsigned char>(c));
                if (!ok) {
                    fallo(NoValida + QStringLiteral("bloque mal formado."));
                    break;
                }
                faltan_ = tamano.toLongLong(nullptr, 16);
                fase_ = faltan_ == 0 ? Fase::Remolque : Fase::Bloque;
                break;
            }
            case Fase::Largo:
            case Fase::Bloque: {
                const qsizetype parte = qsizetype(std::min<qint64>(faltan_, n - i));
                if (!entrego(d + i, parte))
                    break;
                i += parte;
                faltan_ -= parte;
                if (faltan_ == 0) {
                    if (fase_ == Fase::Largo)
                        terminoCuerpo();
                    else
                        fase_ = Fase::FinBloque;
                }
                break;
            }
            case Fase::HastaCierre:
                entrego(d + i, n - i);
                i = n;
                break;
            case Fase::Hecho:
                i = n;
                break;
        }
    }
    if (estado_ == Estado::Completa)
        sobrantes_ += n - i;
    return estado_;
}

LectorHttp::Estado LectorHttp::cierre(bool conAviso) {
    if (estado_ == Estado::Faltan) {
        if (fase_ == Fase::HastaCierre && conAviso)
            terminoCuerpo();
        else if (fase_ == Fase::HastaCierre)
            fallo(
                QStringLiteral("La conexión se cortó sin el aviso de cierre del servidor: la respuesta puede estar "
                               "incompleta."));
        else
            fallo(QStringLiteral("El servidor cerró la conexión antes de terminar la respuesta."));
    }
    return estado_;
}

bool LectorHttp::lineaDeEstado(const QByteArray& l) {
    // HTTP/1.x, a blank, three digits, then the end or a blank and the reason.
    const bool forma = l.size() >= 12 && l.startsWith("HTTP/1.") && std::isdigit(static_cast<unsigned char>(l[7])) &&
                       l[8] == ' ' && l[9] >= '1' && l[9] <= '5' && std::isdigit(static_cast<unsigned char>(l[10])) &&
                       std::isdigit(static_cast<unsigned char>(l[11])) && (l.size() == 12 || l[12] == ' ');
    if (!forma)
        return fallo(NoValida + QStringLiteral("línea de estado mal formada."));
    codigo_ = (l[9] - '0') * 100 + (l[10] - '0') * 10 + (l[11] - '0');
    if (l[7] == '0')
        cierra_ = true;  // an HTTP/1.0 server keeps no connection it was not asked to keep in its own way
    razon_ = l.mid(13);
    if (codigo_ == 101)
        return fallo(NoValida + QStringLiteral("cambio de protocolo no pedido."));
    if (codigo_ < 200 && ++interinas_ > lim_.interinas)
        return fallo(NoValida + QStringLiteral("demasiadas respuestas provisionales."));
    fase_ = Fase::Encabezados;
    return true;
}

bool LectorHttp::lineaDeEncabezado(const QByteArray& l) {
    const qsizetype dos = l.indexOf(':');
    bool ok = dos > 0;
    for (qsizetype k = 0; ok && k < dos; ++k)
        ok = esTchar(l[k]);
    if (!ok)
        return fallo(NoValida + QStringLiteral("línea de encabezado mal formada."));
    if (fase_ != Fase::Encabezados || codigo_ < 200)
        return true;  // trailers and interim answers' headers change nothing
    const QByteArray nombre = l.left(dos).toLower();
    const QByteArray valor = sinEspacios(l.mid(dos + 1));
    if (nombre == "content-length") {
        for (const QByteArray& m : miembros(valor)) {
            const qint64 v = decimal(m);
            if (v < 0 || (largo_ >= 0 && v != largo_))
                return fallo(NoValida + QStringLiteral("longitud mal indicada."));
            largo_ = v;
        }
        if (largo_ < 0)
            return fallo(NoValida + QStringLiteral("longitud mal indicada."));
    } else if (nombre == "transfer-encoding") {
        transferencia_ += ',' + valor;
    } else if (nombre == "content-encoding") {
        compresion_ += ',' + valor;
    } else if (nombre == "connection") {
        if (miembros(valor).contains("close"))
            cierra_ = true;
    } else if (nombre == "set-cookie") {
        galletas_.append(valor);
    }
    return true;
}

bool LectorHttp::empiezoCuerpo() {
    if (!transferencia_.isEmpty()) {
        if (miembros(transferencia_) != QList<QByteArray>{"chunked"})
            return fallo(NoValida + QStringLiteral("codificación de transferencia no admitida: ") +
                         QString::fromLatin1(transferencia_.mid(1)));
        // Both framings at once is how one request is smuggled inside another: never guess which one holds.
        if (largo_ >= 0)
            return fallo(NoValida + QStringLiteral("longitud y bloques a la vez."));
        porBloques_ = true;
    }
    QList<QByteArray> compresion = miembros(compresion_);
    compresion.removeAll("identity");
    if (compresion.size() == 1 && (compresion[0] == "gzip" || compresion[0] == "x-gzip" || compresion[0] == "deflate"))
        zlib_ = std::make_unique<Descompresor>(compresion[0] == "deflate");
    else if (!compresion.isEmpty())
        return fallo(NoValida + QStringLiteral("compresión no admitida: ") + QString::fromLatin1(compresion_.mid(1)));
    if (codigo_ == 204 || codigo_ == 304)
        return terminoCuerpo();
    if (porBloques_) {
        fase_ = Fase::Tamano;
    } else if (largo_ > lim_.cuerpo) {
        return fallo(QStringLiteral("La respuesta anuncia %1 MiB; se aceptan hasta %2 MiB.")
                         .arg(mebibytes(largo_), mebibytes(lim_.cuerpo)));
    } else if (largo_ == 0) {
        return terminoCuerpo();
    } else if (largo_ > 0) {
        fase_ = Fase::Largo;
        faltan_ = largo_;
    } else {
        fase_ = Fase::HastaCierre;
        hastaCierre_ = true;
    }
    return true;
}

bool LectorHttp::entrego(const char* d, qsizetype n) {
    const QString demasiado = QStringLiteral("La respuesta supera el máximo de %1 MiB.").arg(mebibytes(lim_.cuerpo));
    if (!zlib_) {
        if (cuerpo_.size() + n > lim_.cuerpo)
            return fallo(demasiado);
        cuerpo_.append(d, n);
        return true;
    }
    if (!zlib_->listo) {
        QByteArray cabeza = std::exchange(zlib_->cabeza, {}) + QByteArray(d, n);
        if (cabeza.size() < 2) {
            zlib_->cabeza = cabeza;
            return true;
        }
        zlib_->empiezo(Descompresor::esZlib(uchar(cabeza[0]), uchar(cabeza[1])) ? MAX_WBITS : -MAX_WBITS);
        return entrego(cabeza.constData(), cabeza.size());
    }
    z_stream& z = zlib_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(d));
    z.avail_in = uInt(n);
    char salida[64 * 1024];
    for (;;) {
        if (zlib_->fin && z.avail_in > 0) {
            // Another gzip member follows the one that ended.
            inflateReset(&z);
            zlib_->fin = false;
        }
        // One byte past the limit at most: inflate stops where the decoded body passes the limit and reads no
        // further, so the limit is met at the same byte of the body however the compressed bytes arrive, and
        // never after damage that lies beyond it.
        const uInt sitio = uInt(std::min<qint64>(sizeof salida, lim_.cuerpo - cuerpo_.size() + 1));
        z.next_out = reinterpret_cast<Bytef*>(salida);
        z.avail_out = sitio;
        const int r = inflate(&z, Z_NO_FLUSH);
        const qsizetype hechos = qsizetype(sitio - z.avail_out);
        if (r != Z_OK && r != Z_STREAM_END && !(r == Z_BUF_ERROR && z.avail_in == 0))
            return fallo(NoValida + QStringLiteral("la compresión está dañada."));
        zlib_->fin = r == Z_STREAM_END;
        // The limit counts what the body decodes to, so a small compressed answer cannot fill the memory.
        if (cuerpo_.size() + hechos > lim_.cuerpo)
            return fallo(demasiado);
        cuerpo_.append(salida, hechos);
        // Done when the input is used up and the output had room to spare (nothing more is pending).
        if (z.avail_in == 0 && (z.avail_out > 0 || zlib_->fin))
            return true;
    }
}

bool LectorHttp::terminoCuerpo() {
    if (zlib_ && !zlib_->fin && (zlib_->z.total_in > 0 || !zlib_->cabeza.isEmpty()))
        return fallo(NoValida + QStringLiteral("la compresión está incompleta."));
    zlib_.reset();
    fase_ = Fase::Hecho;
    estado_ = Estado::Completa;
    return true;
}
