#include "Diario.h"

#include "JSON.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <io.h>
#else
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

bool aDisco(QFile& f) {
    if (!f.flush())
        return false;
#ifdef Q_OS_WIN
    return _commit(f.handle()) == 0;
#else
    return ::fsync(f.handle()) == 0;
#endif
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
    if (!QDir().mkpath(op_.carpeta)) {
        porque = QStringLiteral("no se pudo crear la carpeta");
    } else {
        QFile f(ruta);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
            porque = f.errorString();
        else if (f.write(linea + '\n') != linea.size() + 1 || (alDisco ? !aDisco(f) : !f.flush()))
            porque = f.errorString();
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
            d.Add(QStringLiteral("answer"), texto.left(500));
            break;
        case Resultado::Fallido:
            d.Add(QStringLiteral("outcome"), QStringLiteral("failed"));
            d.Add(QStringLiteral("info"), texto.left(500));
            break;
    }
    escribo(archivoPendiente_.isEmpty() ? archivoDelMes(op_.carpeta, hora()) : archivoPendiente_,
            json::toCanonicalUtf8(JsonValue(std::move(d))), false);
}

int Diario::empiezoTanda() {
    // The highest batch number of this month's file; a line that does not read is passed over.
    int mayor = 0;
    const QDateTime t = hora();
    archivoTanda_ = archivoDelMes(op_.carpeta, t);
    QFile f(archivoTanda_);
    if (f.open(QIODevice::ReadOnly)) {
        static const QRegularExpression inicio(QStringLiteral("\"event\":\"batch-start\".*\"batch\":(\\d{1,9})[,}]"));
        while (!f.atEnd()) {
            const QString linea = QString::fromUtf8(f.readLine());
            if (const QRegularExpressionMatch m = inicio.match(linea); m.hasMatch())
                mayor = std::max(mayor, m.captured(1).toInt());
        }
    }
    Dictionary d;
    d.Add(QStringLiteral("time"), marca(t));
    d.Add(QStringLiteral("event"), QStringLiteral("batch-start"));
    d.Add(QStringLiteral("batch"), numero(mayor + 1));
    escribo(archivoTanda_, json::toCanonicalUtf8(JsonValue(std::move(d))), true);
    return mayor + 1;
}

void Diario::terminoTanda(int tanda, const Cuentas& c) {
    Dictionary d;
    d.Add(QStringLiteral("time"), marca(hora()));
    d.Add(QStringLiteral("event"), QStringLiteral("batch-end"));
    d.Add(QStringLiteral("batch"), numero(tanda));
    d.Add(QStringLiteral("applied"), numero(c.aplicados));
    d.Add(QStringLiteral("refused"), numero(c.rechazados));
    d.Add(QStringLiteral("failed"), numero(c.fallidos));
    escribo(archivoTanda_.isEmpty() ? archivoDelMes(op_.carpeta, hora()) : archivoTanda_,
            json::toCanonicalUtf8(JsonValue(std::move(d))), false);
}

QString resumenTanda(const Diario::Cuentas& c) {
    const auto cuenta = [](int n, const char* uno, const char* varios) {
        return QString::number(n) + u' ' + QString::fromUtf8(n == 1 ? uno : varios);
    };
    return QStringLiteral("Tanda terminada: ") + cuenta(c.aplicados, "actualizado", "actualizados") +
           QStringLiteral(", ") + cuenta(c.rechazados, "rechazado", "rechazados") + QStringLiteral(", ") +
           QString::number(c.fallidos) + QStringLiteral(" con error.");
}

QString carpetaDiario() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Vantoria/journal"));
}
