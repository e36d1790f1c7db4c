#include "Inet.h"

#include "VbError.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace {

// HTTP statuses that Qt reports as errors although the host's page arrived with them.
bool esEstadoHttp(QNetworkReply::NetworkError e) {
    return (e >= QNetworkReply::ContentAccessDenied && e <= QNetworkReply::UnknownContentError) ||
           e == QNetworkReply::ProtocolInvalidOperationError ||
           (e >= QNetworkReply::InternalServerError && e <= QNetworkReply::UnknownServerError);
}

// The body of one request, to be read once. The network stack silently sends a request again on a new connection
// when the server closes a kept-alive one before answering; it rewinds the body to do so. This body cannot be
// rewound, so such a request fails instead of reaching the server twice.
class CuerpoDeUnaVez : public QIODevice {
  public:
    CuerpoDeUnaVez(QByteArray data, QObject* parent) : QIODevice(parent), data_(std::move(data)) {
        open(QIODevice::ReadOnly);
    }
    bool reset() override { return false; }
    qint64 size() const override { return data_.size(); }

  protected:
    qint64 readData(char* out, qint64 max) override {
        const qint64 n = std::min(max, qint64(data_.size()) - pos());
        if (n <= 0)
            return 0;
        std::memcpy(out, data_.constData() + pos(), size_t(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    QByteArray data_;
};

// What the operator reads in the wait panel about a failed request.
QString descripcionFallo(QNetworkReply* reply) {
    switch (reply->error()) {
        case QNetworkReply::ConnectionRefusedError:
            return QStringLiteral("El servidor rechazó la conexión.");
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::ContentReSendError:
            return QStringLiteral("El servidor cerró la conexión antes de terminar la respuesta.");
        case QNetworkReply::HostNotFoundError:
            return QStringLiteral("No se encontró el servidor: ") + reply->url().host();
        case QNetworkReply::SslHandshakeFailedError:
            return QStringLiteral("No se pudo establecer una conexión segura: ") + reply->errorString();
        default:
            return reply->errorString();
    }
}

QString mebibytes(qint64 bytes) {
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'g', 6);
}

}  // namespace

Inet::Inet(const Ajustes& ajustes, QObject* parent) : QObject(parent), ajustes_(ajustes) {
    ssl_ = QSslConfiguration::defaultConfiguration();
    ssl_.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!ajustes_.autoridadesExtra.isEmpty())
        ssl_.addCaCertificates(ajustes_.autoridadesExtra);
    nam_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    sinDatos_.setSingleShot(true);
    total_.setSingleShot(true);
    connect(&sinDatos_, &QTimer::timeout, this, [this] {
        fallo(QStringLiteral("Tiempo de espera agotado: el servidor no envió datos en %1 s.")
                  .arg(double(ajustes_.sinDatosMs) / 1000.0));
    });
    connect(&total_, &QTimer::timeout, this, [this] {
        fallo(QStringLiteral("Tiempo de espera agotado: la solicitud no terminó en %1 s.")
                  .arg(double(ajustes_.totalMs) / 1000.0));
    });
}

Inet::~Inet() {
    cierro();
}

void Inet::Execute(const QString& URL, const QString& Operation, const QString& InputData, const QString& InputHdrs) {
    if (cerrado_)
        return;
    if (ocupado_)
        throw vb::Error(35764, QStringLiteral("Still executing last request"));
    ++generacion_;
    ocupado_ = true;
    recibiendo_ = false;
    recibido_.clear();
    respuesta_.clear();
    leido_ = 0;
    info_.clear();

    const QUrl url = QUrl::fromEncoded(URL.toUtf8(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()) {
        fallo(QStringLiteral("Dirección no válida para una conexión segura: ") + URL);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setSslConfiguration(ssl_);
    static const QRegularExpression lineEnds(QStringLiteral("\r\n|\r|\n"));
    for (const QString& line : InputHdrs.split(lineEnds, Qt::SkipEmptyParts)) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0)
            request.setRawHeader(line.left(colon).trimmed().toLatin1(), line.mid(colon + 1).trimmed().toUtf8());
    }
    auto* body = new CuerpoDeUnaVez(InputData.toUtf8(), nullptr);
    QNetworkReply* reply = Operation == QLatin1String("POST")
                               ? nam_.post(request, body)
                               : nam_.sendCustomRequest(request, Operation.toLatin1(), body);
    body->setParent(reply);
    reply_ = reply;
    ++enviadas_;
    connect(reply, &QNetworkReply::socketStartedConnecting, this, [this] {
        actividad();
        reporto(3);
    });
    connect(reply, &QNetworkReply::encrypted, this, [this] {
        actividad();
        reporto(4);
    });
    connect(reply, &QNetworkReply::requestSent, this, [this] {
        actividad();
        reporto(6);
    });
    connect(reply, &QNetworkReply::uploadProgress, this, [this] { actividad(); });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        actividad();
        const QVariant length = reply_ ? reply_->header(QNetworkRequest::ContentLengthHeader) : QVariant();
        if (length.isValid() && length.toLongLong() > ajustes_.maxBytes) {
            fallo(QStringLiteral("La respuesta anuncia %1 MiB; se aceptan hasta %2 MiB.")
                      .arg(mebibytes(length.toLongLong()), mebibytes(ajustes_.maxBytes)));
            return;
        }
        if (!recibiendo_) {
            recibiendo_ = true;
            reporto(7);
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, &Inet::leo);
    connect(reply, &QNetworkReply::finished, this, &Inet::terminada);
    sinDatos_.start(ajustes_.sinDatosMs);
    total_.start(ajustes_.totalMs);
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
    sinDatos_.stop();
    total_.stop();
    suelto();
    ocupado_ = false;
}

void Inet::cierro() {
    cerrado_ = true;
    Cancel();
}

void Inet::reporto(int estado) {
    const quint64 g = generacion_;
    QMetaObject::invokeMethod(
        this,
        [this, g, estado] {
            if (g == generacion_ && !cerrado_)
                emit StateChanged(estado);
        },
        Qt::QueuedConnection);
}

void Inet::termino(int estado, const QString& info) {
    sinDatos_.stop();
    total_.stop();
    info_ = info;
    const quint64 g = generacion_;
    QMetaObject::invokeMethod(
        this,
        [this, g, estado] {
            if (g != generacion_ || cerrado_)
                return;
            ocupado_ = false;
            emit StateChanged(estado);
        },
        Qt::QueuedConnection);
}

void Inet::suelto() {
    if (QNetworkReply* reply = reply_) {
        reply_ = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    recibido_.clear();
}

void Inet::fallo(const QString& info) {
    suelto();
    termino(11, info);
}

void Inet::actividad() {
    sinDatos_.start(ajustes_.sinDatosMs);
}

void Inet::leo() {
    if (!reply_)
        return;
    actividad();
    const QByteArray piece = reply_->readAll();
    if (recibido_.size() + piece.size() > ajustes_.maxBytes) {
        fallo(QStringLiteral("La respuesta supera el máximo de %1 MiB.").arg(mebibytes(ajustes_.maxBytes)));
        return;
    }
    recibido_ += piece;
}

void Inet::terminada() {
    QNetworkReply* reply = reply_;
    if (!reply)
        return;
    reply->deleteLater();
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (error != QNetworkReply::NoError && !(status.isValid() && esEstadoHttp(error))) {
        fallo(descripcionFallo(reply));
        return;
    }
    leo();
    if (!reply_)
        return;  // the last piece made the answer too large
    reply_ = nullptr;
    respuesta_ = QString::fromUtf8(recibido_);
    recibido_.clear();
    recibido_.squeeze();
    reporto(8);
    termino(12,
            QStringLiteral("HTTP/1.1 %1 %2")
                .arg(status.toInt())
                .arg(QString::fromUtf8(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray())));
}
