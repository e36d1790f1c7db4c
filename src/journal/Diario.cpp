#include "Diario.h"

#include "JSON.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using json::Dictionary;
using json::JsonValue;

QString marca(const QDateTime& t) {
    return t.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

JsonValue numero(qint64 n) {
    return JsonValue(json::Decimal::fromInteger(n));
}

// Why a write failed, in the operator's words: a full disk says so, anything else as the system puts it (Qt's own
// text for a failed write or flush is "Unknown error").
QString razon(int error) {
    if (error == ENOSPC
#ifdef EDQUOT
        || error == EDQUOT
#endif
    )
        return QStringLiteral("el disco está lleno");
    return qt_error_string(error);
}

// Writes all of `datos` at the end of the file; 0, or the system's error number.
int escriboTodo(int fd, const QByteArray& datos) {
    qsizetype hecho = 0;
    while (hecho < datos.size()) {
#ifdef Q_OS_WIN
        const int n = ::_write(fd, datos.constData() + hecho, unsigned(datos.size() - hecho));
#else
        const ssize_t n = ::write(fd, datos.constData() + hecho, size_t(datos.size() - hecho));
#endif
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return ENOSPC;
        hecho += n;
    }
    return 0;
}

int aDisco(int fd) {
#ifdef Q_OS_WIN
    return ::_commit(fd) == 0 ? 0 : errno;
#else
    return ::fsync(fd) == 0 ? 0 : errno;
#endif
}

// Makes the entry of a new file or folder in `carpeta` durable: syncing the file's data alone does not keep the
// file itself through a power cut. Windows' file system journals its folders itself.
void carpetaADisco(const QString& carpeta) {
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(carpeta).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
#else
    Q_UNUSED(carpeta);
#endif
}

// An answer kept to 500 characters, never ending in half a surrogate pair.
QString recorto(const QString& texto) {
    constexpr qsizetype Maximo = 500;
    qsizetype n = std::min(texto.size(), Maximo);
    if (n < texto.size() && n > 0 && texto[n - 1].isHighSurrogate())
        --n;
    return texto.left(n);
}

}  // namespace

Diario::Diario(Opciones opciones) : op_(std::move(opciones)) {
    corrida_ = QString::number(QDateTime::currentMSecsSinceEpoch(), 36) + u'-' +
               QString::number(QCoreApplication::applicationPid(), 36);
}

QDateTime Diario::hora() const {
    return (op_.ahora ? op_.ahora() : QDateTime::currentDateTimeUtc()).toUTC();
}

QString archivoDelMes(const QString& carpeta, const QDateTime& cuando) {
    return QDir(carpeta).filePath(QStringLiteral("precios-") + cuando.toUTC().toString(QStringLiteral("yyyy-MM")) +
                                  QStringLiteral(".jsonl"));
}

void Diario::escribo(const QString& ruta, const QByteArray& linea, bool alDisco) {
    QString porque;
    // The folders the journal's folder needs that do not exist yet: each new one is made durable in its parent.
    QStringList nuevas;
    for (QString c = QDir(op_.carpeta).absolutePath(); !QFileInfo::exists(c) && nuevas.size() < 64;) {
        nuevas << c;
        const QString padre = QFileInfo(c).absolutePath();
        if (padre == c)
            break;
        c = padre;
    }
    if (!QDir().mkpath(op_.carpeta)) {
        porque = QStringLiteral("no se pudo crear la carpeta");
    } else {
        for (auto it = nuevas.crbegin(); it != nuevas.crend(); ++it)
            carpetaADisco(QFileInfo(*it).absolutePath());
        const bool nuevo = !QFileInfo::exists(ruta);
        QFile f(ruta);
        if (!f.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered)) {
            porque = f.errorString() == qt_error_string(ENOSPC) ? razon(ENOSPC) : f.errorString();
        } else {
            QByteArray datos;
            datos.reserve(linea.size() + 2);
            // A line left without its end by a crash or a full disk is ended first, so the reader loses only it.
            char ultimo = '\n';
            if (!nuevo && !f.isSequential() && f.size() > 0 && f.seek(f.size() - 1) && f.getChar(&ultimo) &&
                ultimo != '\n')
                datos += '\n';
            datos += linea;
            datos += '\n';
            int error = escriboTodo(f.handle(), datos);
            if (error == 0 && (alDisco || nuevo))
                error = aDisco(f.handle());
            if (error != 0)
                porque = razon(error);
            else if (nuevo)
                carpetaADisco(QFileInfo(ruta).absolutePath());
        }
    }
    if (porque.isEmpty() || avisado_)
        return;
    avisado_ = true;
    if (op_.aviso)
        op_.aviso(QStringLiteral("No se pudo escribir el diario de precios \"") + QDir::toNativeSeparators(ruta) +
                  QStringLiteral("\": ") + porque + QStringLiteral(".\rLos precios se siguen enviando."));
}

QString Diario::intencion(int tanda, const QString& codigo, const QString& producto, const QString& publicacion,
                          const QString& precio) {
    const QString id = corrida_ + u'-' + QString::number(++siguiente_);
    const QDateTime t = hora();
    // The outcome goes to the file of its intent, also when the month changes in between.
    archivoPendiente_ = archivoDelMes(op_.carpeta, t);
    Dictionary d;
    d.Add(QStringLiteral("time"), marca(t));
    d.Add(QStringLiteral("event"), QStringLiteral("intent"));
    d.Add(QStringLiteral("id"), id);
    d.Add(QStringLiteral("kind"), tanda > 0 ? QStringLiteral("batch") : QStringLiteral("single"));
    d.Add(QStringLiteral("batch"), numero(tanda));
    if (tanda > 0 && !inicioTanda_.isEmpty())
        d.Add(QStringLiteral("batch_start"), inicioTanda_);
    d.Add(QStringLiteral("product"), codigo);
    d.Add(QStringLiteral("name"), producto);
    d.Add(QStringLiteral("listing"), publicacion);
    d.Add(QStringLiteral("price"), precio);
    escribo(archivoPendiente_, json::toCanonicalUtf8(JsonValue(std::move(d))), true);
    return id;
}

void Diario::resultado(const QString& id, Resultado r, const QString& texto) {
    Dictionary d;
    d.Add(QStringLiteral("time"), marca(hora()));
    d.Add(QStringLiteral("event"), QStringLiteral("outcome"));
    d.Add(QStringLiteral("id"), id);
    switch (r) {
        case Resultado::Aplicado:
            d.Add(QStringLiteral("outcome"), QStringLiteral("applied"));
            break;
        case Resultado::Rechazado:
            d.Add(QStringLiteral("outcome"), QStringLiteral("refused"));
            d.Add(QStringLiteral("answer"), recorto(texto));
            break;
        case Resultado::Fallido:
            d.Add(QStringLiteral("outcome"), QStringLiteral("failed"));
            d.Add(QStringLiteral("info"), recorto(texto));
            break;
    }
    escribo(archivoPendiente_.isEmpty() ? archivoDelMes(op_.carpeta, hora()) : archivoPendiente_,
            json::toCanonicalUtf8(JsonValue(std::move(d))), false);
}

int Diario::empiezoTanda() {
    // The highest batch number any line of this month's file names; a line that does not read is passed over.
    int mayor = 0;
    const QDateTime t = hora();
    archivoTanda_ = archivoDelMes(op_.carpeta, t);
    QFile f(archivoTanda_);
    if (f.open(QIODevice::ReadOnly)) {
        static const QRegularExpression numero(QStringLiteral("\"batch\":(\\d{1,9})[,}]"));
        while (!f.atEnd()) {
            const QString linea = QString::fromUtf8(f.readLine());
            if (const QRegularExpressionMatch m = numero.match(linea); m.hasMatch())
                mayor = std::max(mayor, m.captured(1).toInt());
        }
    }
    inicioTanda_ = marca(t);
    Dictionary d;
    d.Add(QStringLiteral("time"), inicioTanda_);
    d.Add(QStringLiteral("event"), QStringLiteral("batch-start"));
    d.Add(QStringLiteral("batch"), numero(mayor + 1));
    d.Add(QStringLiteral("batch_start"), inicioTanda_);
    escribo(archivoTanda_, json::toCanonicalUtf8(JsonValue(std::move(d))), true);
    return mayor + 1;
}

void Diario::terminoTanda(int tanda, const Cuentas& c) {
    Dictionary d;
    d.Add(QStringLiteral("time"), marca(hora()));
    d.Add(QStringLiteral("event"), QStringLiteral("batch-end"));
    d.Add(QStringLiteral("batch"), numero(tanda));
    if (!inicioTanda_.isEmpty())
        d.Add(QStringLiteral("batch_start"), inicioTanda_);
    d.Add(QStringLiteral("applied"), numero(c.aplicados));
    d.Add(QStringLiteral("refused"), numero(c.rechazados));
    d.Add(QStringLiteral("failed"), numero(c.fallidos));
    if (c.detenida) {
        d.Add(QStringLiteral("stopped"), JsonValue(true));
        d.Add(QStringLiteral("unsent"), numero(c.sinEnviar));
        if (c.cancelada)
            d.Add(QStringLiteral("cancelled"), JsonValue(true));
    }
    escribo(archivoTanda_.isEmpty() ? archivoDelMes(op_.carpeta, hora()) : archivoTanda_,
            json::toCanonicalUtf8(JsonValue(std::move(d))), false);
    inicioTanda_.clear();
}

QString resumenTanda(const Diario::Cuentas& c) {
    const auto cuenta = [](int n, const char* uno, const char* varios) {
        return QString::number(n) + u' ' + QString::fromUtf8(n == 1 ? uno : varios);
    };
    const QString cuentas = cuenta(c.aplicados, "actualizado", "actualizados") + QStringLiteral(", ") +
                            cuenta(c.rechazados, "rechazado", "rechazados") + QStringLiteral(", ") +
                            QString::number(c.fallidos) + QStringLiteral(" con error");
    if (c.detenida)
        return (c.cancelada ? QStringLiteral("Tanda cancelada: ") : QStringLiteral("Tanda detenida: ")) + cuentas +
               QStringLiteral(", ") + QString::number(c.sinEnviar) + QStringLiteral(" sin enviar.");
    return QStringLiteral("Tanda terminada: ") + cuentas + u'.';
}

QString carpetaDiario() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Vantoria/journal"));
}
