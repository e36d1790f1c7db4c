#pragma once

#include "Galletas.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

class LectorHttp;
class QSslSocket;

// The request channel: one HTTPS request at a time, each on a connection of its own that is closed once its answer
// is in, so that no byte a server sends late or in excess can ever be read as the answer to a later request.
// `Execute` returns at once; the request's progress arrives as `StateChanged` on the thread that owns the channel,
// each state as an event of its own: 3 connecting, 4 connected (TLS established), 6 request sent, 7 receiving the
// response, 8 response received, then 12 once when the whole response has arrived, or 11 once when the request
// failed. A request is never sent twice: when the connection breaks, the request fails.
//
// A response arrived whole when its last byte came and it decoded cleanly, whatever its HTTP status: an error page
// is a response. A body without a length or chunks ends with the server's TLS closure alert (close_notify), even
// when the server then keeps the TCP connection open; ended by a bare FIN or a reset it may have been cut anywhere,
// and the request fails. Every connection is ended on our side with our own closure alert. Interim answers (1xx) are
// skipped. A refused or dropped connection, a TLS failure (the peer is always verified), a time-out, an answer larger
// than the limit (its headers included) and any transfer or decoding fault (a bad chunk, a damaged or cut compressed
// body) are failures (state 11). Redirects are not followed: a 3xx answer is the response. The cookies a host sets
// go back to that host only, within the bounds of `Galletas` (taken from answers that came whole, never from a failed
// one); nothing is cached.
class Inet : public QObject {
    Q_OBJECT
  public:
    struct Ajustes {
        // Authorities trusted besides the system's (the system's stay trusted).
        QList<QSslCertificate> autoridadesExtra;
        int sinDatosMs = 30'000;               // longest time without a byte moving either way
        int totalMs = 120'000;                 // longest time for a whole request
        qint64 maxBytes = 32LL * 1024 * 1024;  // the body once decoded
        qsizetype maxEncabezados = 64 * 1024;  // status lines, header lines and trailers together
    };

    explicit Inet(const Ajustes& ajustes, QObject* parent = nullptr);
    ~Inet() override;

    // Starts a request: the URL (already percent-encoded where it needs to be), the method, the body and the
    // header lines ("Name: value", separated by line ends). Raises error 35764 while a request is outstanding.
    // A URL that is not https:// is never sent: the request fails (state 11).
    void Execute(const QString& URL, const QString& Operation, const QString& InputData, const QString& InputHdrs);
    // True from `Execute` until its state 11 or 12 has been delivered.
    bool StillExecuting() const { return ocupado_; }
    // The next piece of the last response, at most `Size` characters; the empty text once all has been read.
    QString GetChunk(int Size, int DataType = 0);
    // A line about the last response ("HTTP/1.1 200 OK") or failure.
    QString ResponseInfo() const { return info_; }

    // Aborts the request in flight; none of its states is delivered afterwards.
    void Cancel();
    // Cancels and refuses every later request: the window is closing.
    void cierro();

    // How many requests this channel has started; tests compare it with what a server received.
    int enviadas() const { return enviadas_; }
    // The TLS configuration every connection uses, with the authorities it trusts.
    const QSslConfiguration& configuracionTls() const { return ssl_; }

    // The cookies kept for this run; the sign-in empties them.
    Galletas& galletas() { return galletas_; }

  signals:
    void StateChanged(int State);

  private:
    void reporto(int estado);
    void termino(int estado, const QString& info);
    void fallo(const QString& info);
    // Closes the connection in flight, if any: none of its signals arrives afterwards.
    void suelto();
    void actividad();
    void conectada();
    void escritos(qint64 bytes);
    void leo();
    void cerrada();
    void errorDeSocket();
    void completa();

    QSslConfiguration ssl_;
    Ajustes ajustes_;
    QSslSocket* socket_ = nullptr;
    std::unique_ptr<LectorHttp> lector_;
    QByteArray solicitud_;
    qint64 porEscribir_ = 0;
    QString erroresTls_;
    QTimer sinDatos_;
    QTimer total_;
    QString respuesta_;
    qsizetype leido_ = 0;
    QString info_;
    quint64 generacion_ = 0;
    quint64 terminada_ = 0;       // the generation whose state 11 or 12 has been decided
    bool avisoDeCierre_ = false;  // the server's closure alert arrived
    bool ocupado_ = false;
    bool cerrado_ = false;
    int enviadas_ = 0;
    QUrl url_;
    Galletas galletas_;
};
