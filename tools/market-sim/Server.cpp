#include "Server.h"

#include <QMutexLocker>
#include <QSet>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

namespace sim {

namespace {

// Holds each accepted connection for a round trip before its TLS handshake starts, as the client's first flight
// would take over a network.
class Listener : public QSslServer {
  public:
    Listener(int delayMs, QObject* parent) : QSslServer(parent), delayMs(delayMs) {}

    ~Listener() override {
        // Descriptors still waiting are closed by a socket that takes them over.
        for (const qintptr descriptor : std::as_const(waiting)) {
            QTcpSocket socket;
            if (socket.setSocketDescriptor(descriptor)) {
                socket.abort();
            }
        }
    }

  protected:
    void incomingConnection(qintptr descriptor) override {
        if (delayMs <= 0) {
            QSslServer::incomingConnection(descriptor);
            return;
        }
        waiting.insert(descriptor);
        QTimer::singleShot(delayMs, this, [this, descriptor] {
            waiting.remove(descriptor);
            QSslServer::incomingConnection(descriptor);
        });
    }

  private:
    const int delayMs;
    QSet<qintptr> waiting;
};

}  // namespace

bool Server::listen(const QSslConfiguration& configuration, quint16 port, QString* error, quint16* boundPort) {
    listener = new Listener(roundTripMs, this);
    listener->setSslConfiguration(configuration);
    listener->setMaxPendingConnections(100000);
    QObject::connect(listener, &QTcpServer::pendingConnectionAvailable, this, [this] { accept(); });
    if (!listener->listen(QHostAddress::LocalHost, port)) {
        *error = listener->errorString();
        delete listener;
        listener = nullptr;
        return false;
    }
    *boundPort = listener->serverPort();
    return true;
}

void Server::shutdown() {
    stopping = true;
    if (listener) {
        listener->close();
    }
    const QList<QSslSocket*> sockets = findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly);
    for (QSslSocket* socket : sockets) {
        socket->disconnect();
        socket->abort();
    }
    const QObjectList children = this->children();
    qDeleteAll(children);
    listener = nullptr;
}

void Server::accept() {
    while (listener && listener->hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(listener->nextPendingConnection());
        if (!socket) {
            continue;
        }
        socket->setParent(this);
        auto* c = new Connection(socket, nextSerial++);
        QObject::connect(socket, &QSslSocket::readyRead, c, [this, c] { read(c); });
        QObject::connect(socket, &QSslSocket::disconnected, c, [this, c] { lost(c); });
        QObject::connect(socket, &QSslSocket::errorOccurred, c, [this, c](QAbstractSocket::SocketError) {
            if (c->socket->state() == QAbstractSocket::UnconnectedState) {
                lost(c);
            }
        });
        QObject::connect(socket, &QSslSocket::alertReceived, c,
                         [this](QSsl::AlertLevel, QSsl::AlertType type, const QString&) {
                             if (type == QSsl::AlertType::CloseNotify) {
                                 QMutexLocker lock(&state->mutex);
                                 ++state->closureAlerts;
                             }
                         });
        QObject::connect(socket, &QSslSocket::bytesWritten, c, [this, c] { pump(c); });
        QObject::connect(socket, &QSslSocket::encryptedBytesWritten, c, [this, c] { pump(c); });
        if (socket->state() != QAbstractSocket::ConnectedState) {
            lost(c);
            continue;
        }
        read(c);
    }
}

void Server::lost(Connection* c) {
    if (c->gone || stopping) {
        return;
    }
    c->gone = true;
    c->closing = true;
    if (c->inTransit) {
        // A request the peer left before its round trip was over.
        {
            QMutexLocker lock(&state->mutex);
            state->append(c->inTransit->first);
        }
        notify(c->inTransit->first, 0);
        c->inTransit.reset();
    }
    if (c->pending) {
        // A delayed answer the peer did not wait for.
        notify(*c->pending, 0);
        c->pending.reset();
    }
    c->socket->deleteLater();
}

void Server::read(Connection* c) {
    if (c->gone) {
        return;
    }
    const QByteArray bytes = c->socket->readAll();
    if (c->silent || c->closing) {
        return;
    }
    c->buffer += bytes;
    serve(c);
}

// Answers the requests waiting in the buffer, one after another, until one has to wait.
void Server::serve(Connection* c) {
    while (!c->gone && !c->busy() && !c->silent && !c->closing) {
        Request request;
        bool close = false;
        const Parsed parsed = takeRequest(c->buffer, request, close);
        if (parsed == Parsed::Incomplete) {
            return;
        }
        if (parsed == Parsed::Malformed) {
            c->buffer.clear();
            c->closing = true;
            const QByteArray page = errorPage(400);
            c->socket->write(answerHead(400, TextHtml, page.size(), true) + page);
            c->socket->disconnectFromHost();
            return;
        }
        request.connection = c->serial;
        request.receivedNs = MarketSim::now();
        if (roundTripMs > 0) {
            c->inTransit.emplace(std::move(request), close);
            QTimer::singleShot(roundTripMs, c, [this, c] { arrive(c); });
            return;
        }
        handle(c, std::move(request), close);
    }
}

// A request whose round trip is over is handled as if it had just arrived.
void Server::arrive(Connection* c) {
    if (c->gone || !c->inTransit || stopping) {
        return;
    }
    auto [request, close] = std::move(*c->inTransit);
    c->inTransit.reset();
    handle(c, std::move(request), close);
    serve(c);
}

void Server::handle(Connection* c, Request request, bool close) {
    Outcome outcome;
    std::optional<Fault> fault;
    Answer normal;
    {
        QMutexLocker lock(&state->mutex);
        const int nth = ++state->counts[request.path];
        fault = state->faultFor(request.path, nth);
        if (!fault && state->api) {
            fault = state->api->lateness(request);
        }
        if (!fault) {
            fault = state->standingFault(request);
        }
        if (takesEffect(fault)) {
            normal = state->answer(request, fault);
        }
        if (answersNormally(fault)) {
            outcome.status = sendWhole(c, request, normal, close);
        } else {
            outcome = misbehave(c, request, *fault, normal, close);
        }
    }

    if (c->closing && !c->gone) {
        c->socket->disconnectFromHost();
    }
    if (outcome.notifyNow) {
        notify(request, outcome.status);
    }
    if (fault) {
        carryOn(c, request, *fault, normal);
    }
}

// Hands a whole answer to the socket and logs the request with it; the caller holds the lock.
int Server::sendWhole(Connection* c, Request& request, const Answer& answer, bool close, const QByteArray& headers) {
    return sendRaw(c, request, answer.status, answerBytes(answer, close, headers), close);
}

// As sendWhole, for an answer already in bytes.
int Server::sendRaw(Connection* c, Request& request, int status, const QByteArray& bytes, bool close) {
    request.answeredNs = MarketSim::now();
    state->append(request);
    c->socket->write(bytes);
    c->closing = close;
    return status;
}

void Server::answerLate(Connection* c, const Answer& answer) {
    if (c->gone || !c->pending || stopping) {
        return;
    }
    Request request = std::move(*c->pending);
    c->pending.reset();
    {
        QMutexLocker lock(&state->mutex);
        request.answeredNs = MarketSim::now();
        if (Request* logged = state->entry(c->pendingId))
            logged->answeredNs = request.answeredNs;
        c->socket->write(answerBytes(answer, c->pendingClose));
    }
    notify(request, answer.status);
    finishAnswer(c);
}

// After an answer that came late: closes when asked to, else goes on with the requests that waited.
void Server::finishAnswer(Connection* c) {
    if (c->pendingClose) {
        c->closing = true;
        c->socket->disconnectFromHost();
        return;
    }
    serve(c);
}

void Server::notify(const Request& request, int status) {
    MarketSim::Observer observer;
    {
        QMutexLocker lock(&state->mutex);
        observer = state->observer;
    }
    if (observer) {
        observer(request, status);
    }
}

}  // namespace sim
