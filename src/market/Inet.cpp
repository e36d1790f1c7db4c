#include "Inet.h"

#include "LectorHttp.h"
#include "VbError.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {

// A header name as the protocol allows it, so that nothing typed into one can end the line or start another.
bool nombreValido(const QByteArray& nombre) {
    static const QRegularExpression token(QStringLiteral("^[!#$%&'*+.^_`|~0-9A-Za-z-]+$"));
    return token.match(QString::fromLatin1(nombre)).hasMatch();
}

// The request as it goes on the wire: the request line, the headers and the body.
QByteArray solicitud(const QUrl& url, const QString& metodo, const QByteArray& cuerpo, const QString& encabezados,
                     const QByteArray& galletas, bool mantener) {
    QByteArray destino = url.path(QUrl::FullyEncoded).toLatin1();
    if (destino.isEmpty())
        destino = "/";
    if (url.hasQuery())
        destino += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port(443) != 443)
        host += ':' + QByteArray::number(url.port());
    QByteArray out = metodo.toLatin1() + ' ' + destino + " HTTP/1.1\r\nHost: " + host + "\r\n";
    static const QRegularExpression lineEnds(QStringLiteral("\r\n|\r|\n"));
    for (const QString& line : encabezados.split(lineEnds, Qt::SkipEmptyParts)) {
        const qsizetype colon = line.indexOf(u':');
        const QByteArray nombre = line.left(colon).trimmed().toLatin1();
        const QByteArray valor = line.mid(colon + 1).trimmed().toUtf8();
        if (colon > 0 && nombreValido(nombre) && !valor.contains('\0'))
            out += nombre + ": " + valor + "\r\n";
    }
    if (!galletas.isEmpty())
        out += "Cookie: " + galletas + "\r\n";
    out += "Content-Length: " + QByteArray::number(cuerpo.size()) +
           "\r\nAccept-Encoding: gzip, deflate\r\nConnection: " + (mantener ? "keep-alive" : "close") +
           "\r\nUser-Agent: Vantoria\r\n\r\n" + cuerpo;
    return out;
}

// What the operator reads in the wait panel about a connection that failed.
QString descripcionFallo(const QSslSocket& socket, const QString& host, const QString& erroresTls) {
    switch (socket.error()) {
        case QAbstractSocket::ConnectionRefusedError:
            return QStringLiteral("El servidor rechazó la conexión.");
        case QAbstractSocket::RemoteHostClosedError:
            return QStringLiteral("El servidor cerró la conexión antes de terminar la respuesta.");
        case QAbstractSocket::HostNotFoundError:
            return QStringLiteral("No se encontró el servidor: ") + host;
        case QAbstractSocket::SslHandshakeFailedError:
            return QStringLiteral("No se pudo establecer una conexión segura: ") +
                   (erroresTls.isEmpty() ? socket.errorString() : erroresTls);
        default:
            return socket.errorString();
    }
}

// Ends a connection whose answer is done with. Our own closure alert ends our side, so that a TLS terminator that
// waits for it (stunnel, Python's ssl) lets the connection go at once; whatever still arrives is not read, and the
// socket goes when closed, or after a second at most. A connection with part of a request still to go (nothing more
// of it may leave once the request is dropped), or already cut by the peer, is aborted.
void cierroConexion(QSslSocket* socket, bool abrupta) {
    if (abrupta || socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setReadBufferSize(4096);
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(1000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->disconnectFromHost();
}

bool mismoDestino(const QUrl& a, const QUrl& b) {
    return a.host() == b.host() && a.port(443) == b.port(443);
}

}  // namespace

// The channel's connections, on the network thread: the request in flight, its reader and timers, and the connection
// a page kept. Everything it is given and gives back is a copy.
class Enlace : public QObject {
  public:
    Enlace(const Inet::Ajustes& ajustes, const QSslConfiguration& ssl, Inet* ventana)
        : ssl_(ssl), ajustes_(ajustes), ventana_(ventana), sinDatos_(new QTimer(this)), total_(new QTimer(this)) {
        sinDatos_->setSingleShot(true);
        total_->setSingleShot(true);
        connect(sinDatos_, &QTimer::timeout, this, [this] {
            fallo(QStringLiteral("Tiempo de espera agotado: el servidor no envió datos en %1 s.")
                      .arg(double(ajustes_.sinDatosMs) / 1000.0));
        });
        connect(total_, &QTimer::timeout, this, [this] {
            fallo(QStringLiteral("Tiempo de espera agotado: la solicitud no terminó en %1 s.")
                      .arg(double(ajustes_.totalMs) / 1000.0));
        });
    }

    // Request `g`: its bytes as they go on the wire; a page comes with its proof.
    void ejecuto(quint64 g, const QUrl& url, const QByteArray& solicitud, const Inet::Prueba& prueba);
    // Drops the request in flight and the kept connection: nothing more of either is reported.
    void cancelo();

  private:
    void reporto(int estado);
    void termino(int estado, const QString& info, const QByteArray& cuerpo = {},
                 const QList<QByteArray>& galletas = {});
    void fallo(const QString& info);
    // Closes the connection in flight, if any: none of its signals arrives afterwards.
    void suelto();
    // Closes the kept connection, if any.
    void sueltoGuardada();
    void enlazo(QSslSocket* socket);
    void conecto();
    void envio();
    // A page whose kept connection closed before any byte of its answer: true when it goes again on a new one.
    bool reintento();
    void actividad();
    void conectada();
    void escritos(qint64 bytes);
    void leo();
    void cerrada();
    void errorDeSocket();
    void completa();

    const QSslConfiguration ssl_;
    const Inet::Ajustes ajustes_;
    Inet* const ventana_;  // only ever the target of queued calls
    QTimer* sinDatos_;
    QTimer* total_;
    QSslSocket* socket_ = nullptr;
    QSslSocket* guardada_ = nullptr;  // the connection a page kept, idle
    QUrl urlGuardada_;                // whom it goes to
    Inet::Prueba prueba_;             // the request in flight's, when a page
    QByteArray enviada_;              // a page's request as sent, while it may go again
    bool reusada_ = false;            // the request in flight went on a kept connection
    int ultimo_ = 0;                  // the last state reported for the request in flight
    std::unique_ptr<LectorHttp> lector_;
    QByteArray solicitud_;
    qint64 porEscribir_ = 0;
    QString erroresTls_;
    quint64 generacion_ = 0;      // the request in flight; 0 when none
    quint64 terminada_ = 0;       // the request whose state 11 or 12 has been decided
    bool avisoDeCierre_ = false;  // the server's closure alert arrived
    QUrl url_;
};

Inet::Inet(const Ajustes& ajustes, QObject* parent) : QObject(parent), ajustes_(ajustes) {
    ssl_ = QSslConfiguration::defaultConfiguration();
    ssl_.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Adding a certificate to the default configuration would switch off Qt's loading of the system's roots on
    // demand, and a host with a publicly issued certificate would fail: the extra ones go beside the system's.
    if (!ajustes_.autoridadesExtra.isEmpty())
        ssl_.setCaCertificates(QSslConfiguration::systemCaCertificates() + ajustes_.autoridadesExtra);
    enlace_ = new Enlace(ajustes_, ssl_, this);
    enlace_->moveToThread(&hilo_);
    // Deleted on its own thread as that thread ends, with the sockets it still holds.
    connect(&hilo_, &QThread::finished, enlace_, &QObject::deleteLater);
    hilo_.setObjectName(QStringLiteral("Vantoria red"));
    hilo_.start();
}

Inet::~Inet() {
    cerrado_ = true;
    ++generacion_;
    // The connections end on their own thread, which then stops; a call of it still queued for this object is
    // dropped with the object.
    QMetaObject::invokeMethod(
        enlace_,
        [e = enlace_] {
            e->cancelo();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    if (!hilo_.wait(QDeadlineTimer(10'000))) {
        hilo_.terminate();
        hilo_.wait(QDeadlineTimer(1'000));
    }
}

void Inet::Execute(const QString& URL, const QString& Operation, const QString& InputData, const QString& InputHdrs,
                   const Prueba& prueba) {
    if (cerrado_)
        return;
    if (ocupado_)
        throw vb::Error(35764, QStringLiteral("Still executing last request"));
    const quint64 g = ++generacion_;
    ocupado_ = true;
    respuesta_.clear();
    leido_ = 0;
    info_.clear();
    const QUrl url = QUrl::fromEncoded(URL.toUtf8(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()) {
        const QString info = QStringLiteral("Dirección no válida para una conexión segura: ") + URL;
        // The kept connection goes too: whatever comes next starts afresh.
        QMetaObject::invokeMethod(
            enlace_, [e = enlace_] { e->cancelo(); }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            this, [this, g, info] { termina(g, 11, info, {}, {}); }, Qt::QueuedConnection);
        return;
    }
    url_ = url;
    ++enviadas_;
    const Prueba pagina = ajustes_.paginasEnUnaConexion ? prueba : Prueba{};
    const QByteArray bytes =
        solicitud(url, Operation, InputData.toUtf8(), InputHdrs, galletas_.paraEnviar(url), bool(pagina));
    QMetaObject::invokeMethod(
        enlace_, [e = enlace_, g, url, bytes, pagina] { e->ejecuto(g, url, bytes, pagina); }, Qt::QueuedConnection);
}

QString Inet::GetChunk(int Size, int) {
    if (Size <= 0)
        vb::raise(vb::InvalidCall);
    const QString piece = respuesta_.mid(leido_, Size);
    leido_ += piece.size();
    return piece;
}

void Inet::Cancel() {
    ++generacion_;
    ocupado_ = false;
    QMetaObject::invokeMethod(
        enlace_, [e = enlace_] { e->cancelo(); }, Qt::QueuedConnection);
}

void Inet::cierro() {
    cerrado_ = true;
    Cancel();
}

void Inet::llega(quint64 g, int estado) {
    if (g == generacion_ && !cerrado_)
        emit StateChanged(estado);
}

void Inet::termina(quint64 g, int estado, const QString& info, const QByteArray& cuerpo,
                   const QList<QByteArray>& galletas) {
    if (g != generacion_ || cerrado_)
        return;
    info_ = info;
    if (estado == 12) {
        respuesta_ = QString::fromUtf8(cuerpo);
        galletas_.guardo(url_, galletas);
    }
    ocupado_ = false;
    emit StateChanged(estado);
}

void Enlace::ejecuto(quint64 g, const QUrl& url, const QByteArray& solicitud, const Inet::Prueba& prueba) {
    suelto();
    generacion_ = g;
    ultimo_ = 0;
    reusada_ = false;
    prueba_ = prueba;
    url_ = url;
    // Only a page goes on the connection a page kept, and only to the same server.
    if (guardada_ && (!prueba_ || !mismoDestino(url, urlGuardada_)))
        sueltoGuardada();
    solicitud_ = solicitud;
    enviada_ = prueba_ ? solicitud_ : QByteArray();
    reporto(3);
    // The timers run before the connection starts: a connection that fails inside connectToHostEncrypted (no
    // route to an address, no TLS) has ended the request by the time it returns.
    sinDatos_->start(ajustes_.sinDatosMs);
    total_->start(ajustes_.totalMs);
    if (guardada_ && guardada_->state() == QAbstractSocket::ConnectedState && guardada_->bytesAvailable() == 0 &&
        guardada_->isEncrypted()) {
        reusada_ = true;
        QSslSocket* socket = std::exchange(guardada_, nullptr);
        socket->disconnect(this);
        lector_ = std::make_unique<LectorHttp>(LectorHttp::Limites{ajustes_.maxBytes, ajustes_.maxEncabezados});
        avisoDeCierre_ = false;
        erroresTls_.clear();
        enlazo(socket);
        reporto(4);
        envio();
        return;
    }
    sueltoGuardada();
    conecto();
}

void Enlace::cancelo() {
    generacion_ = 0;
    sinDatos_->stop();
    total_->stop();
    suelto();
    sueltoGuardada();
}

void Enlace::enlazo(QSslSocket* socket) {
    socket_ = socket;
    connect(socket, &QSslSocket::encrypted, this, &Enlace::conectada);
    connect(socket, &QSslSocket::bytesWritten, this, &Enlace::escritos);
    connect(socket, &QSslSocket::readyRead, this, &Enlace::leo);
    connect(socket, &QSslSocket::disconnected, this, &Enlace::cerrada);
    connect(socket, &QSslSocket::errorOccurred, this, &Enlace::errorDeSocket);
    connect(socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errores) {
        // Nothing is ignored: the handshake fails, and the operator reads why.
        QStringList textos;
        for (const QSslError& e : errores)
            textos << e.errorString();
        erroresTls_ = textos.join(QStringLiteral("; "));
    });
    connect(socket, &QSslSocket::alertReceived, this, [this](QSsl::AlertLevel, QSsl::AlertType tipo, const QString&) {
        if (tipo == QSsl::AlertType::CloseNotify)
            avisoDeCierre_ = true;
    });
}

// A new connection for the request in `solicitud_`.
void Enlace::conecto() {
    lector_ = std::make_unique<LectorHttp>(LectorHttp::Limites{ajustes_.maxBytes, ajustes_.maxEncabezados});
    avisoDeCierre_ = false;
    erroresTls_.clear();
    porEscribir_ = solicitud_.size();
    auto* socket = new QSslSocket(this);
    socket->setSslConfiguration(ssl_);
    enlazo(socket);
    socket->connectToHostEncrypted(url_.host(), quint16(url_.port(443)));
}

void Enlace::envio() {
    porEscribir_ = solicitud_.size();
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_->write(solicitud_);
    solicitud_.clear();
}

bool Enlace::reintento() {
    if (!reusada_ || !socket_ || !lector_ || lector_->empezada() || enviada_.isEmpty())
        return false;
    reusada_ = false;
    QSslSocket* socket = std::exchange(socket_, nullptr);
    socket->disconnect(this);
    cierroConexion(socket, true);
    solicitud_ = std::exchange(enviada_, {});
    conecto();
    return true;
}

void Enlace::reporto(int estado) {
    // A page that goes again on a new connection does not report again what it reported on the kept one.
    if (generacion_ == 0 || estado <= ultimo_)
        return;
    ultimo_ = estado;
    const quint64 g = generacion_;
    QMetaObject::invokeMethod(
        ventana_, [v = ventana_, g, estado] { v->llega(g, estado); }, Qt::QueuedConnection);
}

void Enlace::termino(int estado, const QString& info, const QByteArray& cuerpo, const QList<QByteArray>& galletas) {
    if (generacion_ == 0 || terminada_ == generacion_)
        return;  // a request ends once, with its first reason
    terminada_ = generacion_;
    sinDatos_->stop();
    total_->stop();
    const quint64 g = generacion_;
    QMetaObject::invokeMethod(
        ventana_, [v = ventana_, g, estado, info, cuerpo, galletas] { v->termina(g, estado, info, cuerpo, galletas); },
        Qt::QueuedConnection);
}

void Enlace::suelto() {
    if (QSslSocket* socket = socket_) {
        socket_ = nullptr;
        socket->disconnect(this);
        const bool cortada = socket->error() == QAbstractSocket::RemoteHostClosedError && !avisoDeCierre_;
        cierroConexion(socket, porEscribir_ > 0 || cortada);
    }
    lector_.reset();
    solicitud_.clear();
    enviada_.clear();
}

void Enlace::sueltoGuardada() {
    if (QSslSocket* socket = std::exchange(guardada_, nullptr)) {
        socket->disconnect(this);
        cierroConexion(socket, socket->error() == QAbstractSocket::RemoteHostClosedError);
    }
}

void Enlace::fallo(const QString& info) {
    suelto();
    termino(11, info);
}

void Enlace::actividad() {
    sinDatos_->start(ajustes_.sinDatosMs);
}

void Enlace::conectada() {
    actividad();
    reporto(4);
    envio();
}

void Enlace::escritos(qint64 bytes) {
    actividad();
    porEscribir_ -= bytes;
    if (porEscribir_ <= 0 && porEscribir_ + bytes > 0)
        reporto(6);
}

void Enlace::leo() {
    if (!socket_)
        return;
    actividad();
    const bool primera = !lector_->empezada();
    const QByteArray piece = socket_->readAll();
    if (primera && !piece.isEmpty())
        reporto(7);
    switch (lector_->lee(piece)) {
        case LectorHttp::Estado::Faltan:
            break;
        case LectorHttp::Estado::Fallida:
            fallo(QString(lector_->error()));  // a copy: fallo drops the reader
            break;
        case LectorHttp::Estado::Completa:
            completa();
            break;
    }
}

void Enlace::cerrada() {
    if (!socket_)
        return;
    leo();
    if (!socket_ || reintento())
        return;
    // Only the closure alert says that a body running to the close is whole; a FIN or a reset may have cut it.
    if (lector_->cierre(avisoDeCierre_) == LectorHttp::Estado::Completa)
        completa();
    else
        fallo(QString(lector_->error()));  // a copy: fallo drops the reader
}

void Enlace::errorDeSocket() {
    if (!socket_)
        return;
    // The peer ending the connection is how an answer without a length ends. After its closure alert the peer may
    // keep the TCP connection open, waiting for ours: the answer is decided now, not at a `disconnected` that
    // would only come with the idle time-out.
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError && lector_->empezada()) {
        cerrada();
        return;
    }
    leo();
    if (!socket_ || reintento())
        return;
    fallo(descripcionFallo(*socket_, socket_->peerName(), erroresTls_));
}

void Enlace::completa() {
    const int codigo = lector_->codigo();
    const QString razon = QString::fromUtf8(lector_->razon().left(200));
    if (reusada_) {
        // On a kept connection the answer must show that it is the page asked for, not a late one.
        if (const QString porque = prueba_(lector_->cuerpo()); !porque.isEmpty()) {
            fallo(porque + QStringLiteral(" (HTTP/1.1 %1 %2)").arg(codigo).arg(razon));
            return;
        }
    }
    const QByteArray cuerpo = lector_->cuerpo();
    const QList<QByteArray> galletas = lector_->galletas();
    const bool guardo = prueba_ && lector_->otraCabe() && !avisoDeCierre_ && socket_->bytesAvailable() == 0 &&
                        socket_->state() == QAbstractSocket::ConnectedState;
    if (guardo) {
        QSslSocket* socket = std::exchange(socket_, nullptr);
        socket->disconnect(this);
        lector_.reset();
        solicitud_.clear();
        enviada_.clear();
        guardada_ = socket;
        urlGuardada_ = url_;
        // Anything arriving between requests (a late answer, the server closing) ends the kept connection.
        const auto suelta = [this, socket] {
            if (guardada_ == socket)
                sueltoGuardada();
        };
        connect(socket, &QSslSocket::readyRead, this, suelta);
        connect(socket, &QSslSocket::disconnected, this, suelta);
        connect(socket, &QSslSocket::errorOccurred, this, suelta);
    } else {
        suelto();
    }
    sinDatos_->stop();
    total_->stop();
    reporto(8);
    termino(12, QStringLiteral("HTTP/1.1 %1 %2").arg(codigo).arg(razon), cuerpo, galletas);
}
