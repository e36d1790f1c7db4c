#pragma once

#include "Galletas.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>
#include <QThread>
#include <QUrl>

#include <functional>
#include <memory>

class Enlace;

// The request channel: one HTTPS request at a time. A sign-in, a price request or a pause goes on a connection of
// its own that is closed once its answer is in (`Connection: close`), so that no byte a server sends late or in
// excess can ever be read as the answer to one of them. A listing page (a request given a proof) asks the server to
// keep its connection (`Connection: keep-alive`) and goes on the connection the previous page kept, when there is
// one: kept only after an answer that came whole, framed by a length or by chunks, with no byte after it, from a
// server that did not say `Connection: close`; dropped as soon as anything arrives on it between requests, and by
// any other request. An answer that comes on a kept connection is delivered only when the proof accepts it (the
// page is the one asked for); any other answer fails the request (state 11), since it may belong to an earlier
// one. A page whose kept connection is found closed before it is sent, or closes before the first byte of its
// answer, goes once more on a new connection, once only: a search changes nothing on the server, so sending it
// again is safe, and a server that closes an idle connection is normal.
// The connections, TLS and the reading of answers run on a network thread of the channel's own, so that no
// handshake or decoding holds up the window; requests go to it and states come back by queued calls, the data
// handed over by value. `Execute` returns at once; the request's progress arrives as `StateChanged` on the thread that
// owns the channel, each state as an event of its own: 3 connecting, 4 connected (TLS established), 6 request sent, 7
// receiving the response, 8 response received, then 12 once when the whole response has arrived, or 11 once when the
// request failed; each at most once per request, in that order. Apart from that one page, a request is never sent
// twice: when the connection breaks, the request fails.
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
        // Whether consecutive pages may share a kept connection; without it every request has its own, pages
        // too (the download benchmark compares the two).
        bool paginasEnUnaConexion = true;
    };

    explicit Inet(const Ajustes& ajustes, QObject* parent = nullptr);
    ~Inet() override;

    // Whether a page's answer is the page asked for: empty when it is, else why not, for the operator.
    using Prueba = std::function<QString(const QByteArray& cuerpo)>;

    // Starts a request: the URL (already percent-encoded where it needs to be), the method, the body and the
    // header lines ("Name: value", separated by line ends). Raises error 35764 while a request is outstanding.
    // A URL that is not https:// is never sent: the request fails (state 11).
    // With a proof, the request may go on a kept connection (see above).
    void Execute(const QString& URL, const QString& Operation, const QString& InputData, const QString& InputHdrs,
                 const Prueba& prueba = {});
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
    friend class Enlace;
    // A state of request `g` from the network thread; 11 and 12 bring the answer's line, body and cookies.
    void llega(quint64 g, int estado);
    void termina(quint64 g, int estado, const QString& info, const QByteArray& cuerpo,
                 const QList<QByteArray>& galletas);

    QSslConfiguration ssl_;
    Ajustes ajustes_;
    QThread hilo_;
    Enlace* enlace_ = nullptr;
    QString respuesta_;
    qsizetype leido_ = 0;
    QString info_;
    quint64 generacion_ = 0;
    bool ocupado_ = false;
    bool cerrado_ = false;
    int enviadas_ = 0;
    QUrl url_;
    Galletas galletas_;
};
