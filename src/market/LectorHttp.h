#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// Reads one HTTP/1.1 answer from the bytes of a connection that carried nothing else, or nothing since an earlier
// answer that ended cleanly, strictly: a status line,
// header lines (a folded one joined with a blank), then a body framed by Content-Length, by chunks, or by the end of
// the connection, decoded when it is gzip or deflate (zlib-wrapped or raw). Interim answers (1xx) are skipped;
// everything it cannot read with certainty (a malformed line, a bad chunk size, a damaged or cut compressed body,
// headers or a body beyond the limits, a body to the close that ends without the closure alert) makes the answer
// fail, so that a broken transfer is never taken for a complete answer. It does no I/O and is tested without a
// network.
class LectorHttp {
  public:
    struct Limites {
        qint64 cuerpo = 32LL * 1024 * 1024;  // decoded body bytes
        qsizetype encabezados = 64 * 1024;   // status lines, header lines and trailers together
        int lineas = 200;                    // header and trailer lines together
        int interinas = 8;                   // interim answers before the final one
    };
    enum class Estado { Faltan, Completa, Fallida };

    explicit LectorHttp(const Limites& limites);
    LectorHttp();
    ~LectorHttp();
    LectorHttp(const LectorHttp&) = delete;
    LectorHttp& operator=(const LectorHttp&) = delete;

    // Takes the next bytes of the connection. Bytes after a complete answer are not part of it and are ignored.
    Estado lee(const char* datos, qsizetype n);
    Estado lee(const QByteArray& datos) { return lee(datos.constData(), datos.size()); }
    // The peer ended the connection, `conAviso` when with TLS's closure alert (close_notify): completes an answer
    // whose body runs to the close only then, since a bare FIN or a reset may have cut it anywhere; fails any other
    // answer that is not complete yet.
    Estado cierre(bool conAviso);

    Estado estado() const { return estado_; }
    // True once some byte of an answer has arrived.
    bool empezada() const { return empezada_; }
    int codigo() const { return codigo_; }
    const QByteArray& razon() const { return razon_; }
    const QByteArray& cuerpo() const { return cuerpo_; }
    // The values of the final answer's Set-Cookie headers, in the order they came.
    const QList<QByteArray>& galletas() const { return galletas_; }
    // Whether the connection may carry another answer after this complete one: its body was framed by a length or
    // by chunks (or had none), the server did not say `Connection: close` nor answer as HTTP/1.0, and no byte came
    // after the answer.
    bool otraCabe() const { return estado_ == Estado::Completa && !hastaCierre_ && !cierra_ && sobrantes_ == 0; }
    // Why the answer failed, for the operator.
    const QString& error() const { return error_; }

  private:
    enum class Fase { Estado, Encabezados, Largo, HastaCierre, Tamano, Bloque, FinBloque, Remolque, Hecho };
    struct Descompresor;

    qsizetype leoLinea(const char* d, qsizetype n, qsizetype& i, QByteArray& linea, qsizetype maximo);
    bool lineaDeEstado(const QByteArray& linea);
    bool lineaDeEncabezado(const QByteArray& linea);
    bool empiezoCuerpo();
    bool entrego(const char* d, qsizetype n);
    bool terminoCuerpo();
    bool fallo(const QString& porque);

    Limites lim_;
    Estado estado_ = Estado::Faltan;
    Fase fase_ = Fase::Estado;
    bool empezada_ = false;
    QByteArray linea_;     // a line that has not arrived whole yet
    QByteArray anterior_;  // the last header line, kept until the next shows whether it goes on folded
    qsizetype bytesEncabezados_ = 0;
    int lineas_ = 0;
    int interinas_ = 0;
    int codigo_ = 0;
    QByteArray razon_;
    qint64 largo_ = -1;  // Content-Length, -1 when absent
    bool porBloques_ = false;
    bool hastaCierre_ = false;  // the body runs to the end of the connection
    bool cierra_ = false;       // the server ends the connection after this answer
    qint64 sobrantes_ = 0;      // bytes that came after the complete answer
    QByteArray transferencia_;
    QByteArray compresion_;
    qint64 faltan_ = 0;  // body or chunk bytes still to come
    QByteArray cuerpo_;
    QList<QByteArray> galletas_;
    std::unique_ptr<Descompresor> zlib_;
    QString error_;
};
