// The ways the simulator misbehaves on a chosen request, written on the connection instead of the normal answer.
#include "Gzip.h"
#include "Server.h"

#include <QMutexLocker>
#include <QTimer>

#include <QSocketNotifier>

#include <algorithm>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace sim {

namespace {

constexpr qint64 StreamPiece = 64 * 1024;      // a streamed answer goes out in pieces of this size
constexpr qint64 TrickleLength = 1024 * 1024;  // what a trickled answer announces; at 1 byte/ms, 17 minutes
constexpr int StaleAfterMs = 300;
constexpr int DefaultChunk = 7;
constexpr qint64 DefaultBombBytes = qint64(1) << 30;
constexpr qint64 MaxBombBytes = qint64(16) << 30;  // about 16 MiB compressed, held once per size
constexpr qint64 DefaultFloodBytes = qint64(256) << 20;
constexpr int DefaultFloodMs = 30'000;  // a client that stops reading without closing is let go after this
constexpr qint64 DefaultCookies = 20;
constexpr qint64 MaxCookies = 1000;

const QByteArray GzipEncoded = QByteArrayLiteral("Content-Encoding: gzip\r\n");

// Bytes [from, from + count) of an endless JSON-looking filler: {"x":"aaaa...
QByteArray filler(qint64 from, qint64 count) {
    static const QByteArray prefix = QByteArrayLiteral("{\"x\":\"");
    QByteArray bytes(count, 'a');
    for (qint64 i = from; i < prefix.size() && i - from < count; ++i) {
        bytes[i - from] = prefix[i];
    }
    return bytes;
}

// `length` bytes of filler, a piece at a time.
std::function<QByteArray()> fillerStream(qint64 length) {
    return [sent = qint64(0), length]() mutable {
        const qint64 piece = std::min(StreamPiece, length - sent);
        if (piece <= 0) {
            return QByteArray();
        }
        const QByteArray bytes = filler(sent, piece);
        sent += piece;
        return bytes;
    };
}

// Header lines "X-Flood-N: aaa...", 1,000 letters each, as many whole lines as fit in `limit` bytes.
std::function<QByteArray()> floodStream(qint64 limit) {
    return [n = qint64(0), left = limit]() mutable {
        QByteArray piece;
        while (piece.size() < StreamPiece) {
            const QByteArray line = "X-Flood-" + QByteArray::number(n + 1) + ": " + QByteArray(1000, 'a') + "\r\n";
            if (line.size() > left) {
                break;
            }
            piece += line;
            left -= line.size();
            ++n;
        }
        return piece;
    };
}

QByteArray orListo(const QByteArray& body) {
    return body.isEmpty() ? QByteArrayLiteral("Listo!!!") : body;
}

QByteArray interimHead(qint64 number) {
    const int code = number == 102 || number == 103 ? int(number) : 100;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reasonPhrase(code) + "\r\n";
    if (code == 103) {
        head += "Link: </style.css>; rel=preload\r\n";
    }
    return head + "\r\n";
}

QByteArray chunk(QByteArrayView data) {
    return QByteArray::number(data.size(), 16) + "\r\n" + data.toByteArray() + "\r\n";
}

// `body` in chunks of `size` bytes, then the last, empty chunk.
QByteArray chunked(QByteArrayView body, qint64 size) {
    QByteArray out;
    for (qint64 from = 0; from < body.size(); from += size) {
        out += chunk(body.sliced(from, std::min(size, body.size() - from)));
    }
    return out + "0\r\n\r\n";
}

// `body` as one chunk framed wrongly in the way `variant` says (see BadChunks).
QByteArray badlyChunked(const QByteArray& body, qint64 variant) {
    if (variant == 1) {
        return QByteArray::number(body.size() + 100, 16) + "\r\n" + body;
    }
    if (variant == 2) {
        return QByteArray::number(body.size(), 16) + "\r\n" + body + "0\r\n\r\n";
    }
    return "zz\r\n" + body + "\r\n0\r\n\r\n";
}

// Holds a TCP connection open after its TLS layer has said goodbye, until the client closes its side or the time
// is up; what the client sends meanwhile is thrown away.
class KeptOpen : public QObject {
  public:
    KeptOpen(int descriptor, int millis, QObject* parent) : QObject(parent), descriptor(descriptor) {
        auto* notifier = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Read, this);
        QObject::connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
#ifdef Q_OS_UNIX
            char buffer[4096];
            if (::read(this->descriptor, buffer, sizeof buffer) > 0) {
                return;
            }
#endif
            notifier->setEnabled(false);
            deleteLater();
        });
        QTimer::singleShot(millis, this, [this] { deleteLater(); });
    }
    ~KeptOpen() override {
#ifdef Q_OS_UNIX
        ::close(descriptor);
#endif
    }

  private:
    const int descriptor;
};

QByteArray cookies(qint64 count) {
    QByteArray lines;
    for (qint64 i = 1; i <= count; ++i) {
        lines += "Set-Cookie: c" + QByteArray::number(i) + '=' + QByteArray(4000, 'x') + "; Path=/\r\n";
    }
    return lines;
}

}  // namespace

bool takesEffect(const std::optional<Fault>& fault) {
    if (!fault) {
        return true;
    }
    switch (fault->kind) {
        case FaultKind::Delay:
        case FaultKind::DropMidAnswer:
        case FaultKind::Total:
        case FaultKind::FewerResults:
        case FaultKind::StaleSecond:
        case FaultKind::OverlongBody:
        case FaultKind::Interim:
        case FaultKind::GzipNotGzip:
        case FaultKind::GzipCut:
        case FaultKind::BadChunks:
        case FaultKind::Chunked:
        case FaultKind::SetCookie:
        case FaultKind::ToTheAlert:
        case FaultKind::AlertKeptOpen:
        case FaultKind::CutWithoutAlert:
        case FaultKind::CutByReset:
        case FaultKind::CloseAfterAnswer:
            return true;
        default:
            return false;
    }
}

bool answersNormally(const std::optional<Fault>& fault) {
    if (!fault) {
        return true;
    }
    switch (fault->kind) {
        case FaultKind::Delay:
            return fault->millis <= 0;
        case FaultKind::Total:
        case FaultKind::FewerResults:
            return true;  // the page itself is altered
        default:
            return false;
    }
}

Server::Outcome Server::misbehave(Connection* c, Request& request, const Fault& fault, const Answer& normal,
                                  bool close) {
    Outcome outcome;
    switch (fault.kind) {
        case FaultKind::Status: {
            const int code = fault.number >= 100 && fault.number <= 999 ? int(fault.number) : 500;
            outcome.status =
                sendWhole(c, request, {code, TextHtml, fault.body.isEmpty() ? errorPage(code) : fault.body}, close);
            break;
        }
        case FaultKind::Body:
            outcome.status = sendWhole(c, request, {200, TextHtml, fault.body}, close);
            break;
        case FaultKind::Refuse:
            outcome.status = sendWhole(c, request, textAnswer("Error: el servidor rechazó la solicitud."), close);
            break;
        case FaultKind::Drop:
            state->append(request);
            c->closing = true;
            break;
        case FaultKind::DropMidAnswer: {
            const QByteArray head = answerHead(normal.status, normal.contentType, normal.body.size(), close);
            request.answeredNs = MarketSim::now();
            state->append(request);
            c->socket->write(head + normal.body.first(normal.body.size() / 2));
            c->closing = true;
            outcome.status = normal.status;
            break;
        }
        case FaultKind::NoAnswer:
            state->append(request);
            c->silent = true;
            c->buffer.clear();
            break;
        case FaultKind::Trickle:
            state->append(request);
            c->silent = true;
            c->buffer.clear();
            c->socket->write(answerHead(200, contentTypeFor(request.path), TrickleLength, close));
            outcome.status = 200;
            break;
        case FaultKind::Oversized: {
            const qint64 length = std::max<qint64>(0, fault.number);
            c->pendingId = state->append(request);
            c->pendingClose = close;
            c->streaming = true;
            c->nextPiece = fillerStream(length);
            c->socket->write(answerHead(200, contentTypeFor(request.path), length, close));
            outcome.status = 200;
            break;
        }
        case FaultKind::Total:
        case FaultKind::FewerResults:
            outcome.status = sendWhole(c, request, normal, close);  // the page itself is altered
            break;
        case FaultKind::StaleSecond:
            outcome.status = sendWhole(c, request, normal, false);
            c->holding = true;
            break;
        case FaultKind::CloseAfterAnswer:
            outcome.status = sendWhole(c, request, normal, false);
            c->closing = true;
            break;
        case FaultKind::OverlongBody:
            outcome.status = sendWhole(c, request, normal, false);
            c->socket->write(orListo(fault.body));
            break;
        case FaultKind::GzipNotGzip: {
            Answer answer = normal;
            if (!fault.body.isEmpty()) {
                answer.body = fault.body;
            }
            outcome.status = sendWhole(c, request, answer, close, GzipEncoded);
            break;
        }
        case FaultKind::GzipCut: {
            Answer answer = normal;
            const QByteArray packed = gzip(normal.body);
            answer.body = packed.first(packed.size() / 2);
            outcome.status = sendWhole(c, request, answer, close, GzipEncoded);
            break;
        }
        case FaultKind::GzipBomb: {
            const qint64 count = fault.number > 0 ? std::min(fault.number, MaxBombBytes) : DefaultBombBytes;
            outcome.status =
                sendWhole(c, request, {200, contentTypeFor(request.path), gzipOfZeros(count)}, close, GzipEncoded);
            break;
        }
        case FaultKind::BadChunks:
            outcome.status = sendRaw(
                c, request, normal.status,
                answerHead(normal.status, normal.contentType, -1, true) + badlyChunked(normal.body, fault.number),
                true);
            break;
        case FaultKind::Chunked:
            outcome.status = sendRaw(c, request, normal.status,
                                     answerHead(normal.status, normal.contentType, -1, close) +
                                         chunked(normal.body, fault.number > 0 ? fault.number : DefaultChunk),
                                     close);
            break;
        case FaultKind::HeaderFlood: {
            const QByteArray statusLine = QByteArrayLiteral("HTTP/1.1 200 OK\r\n");
            const qint64 limit = fault.number > 0 ? fault.number : DefaultFloodBytes;
            c->pendingId = state->append(request);
            c->pendingClose = true;
            c->silent = true;
            c->buffer.clear();
            c->streaming = true;
            c->nextPiece = floodStream(limit - statusLine.size());
            c->socket->write(statusLine);
            outcome.status = 200;
            break;
        }
        case FaultKind::SetCookie:
            outcome.status = sendWhole(c, request, normal, close,
                                       cookies(fault.number > 0 ? std::min(fault.number, MaxCookies) : DefaultCookies));
            break;
        case FaultKind::ToTheAlert:
        case FaultKind::AlertKeptOpen:
        case FaultKind::CutWithoutAlert:
        case FaultKind::CutByReset: {
            QByteArray body = normal.body;
            if (fault.kind == FaultKind::CutWithoutAlert || fault.kind == FaultKind::CutByReset) {
                body.truncate(fault.number > 0 ? qsizetype(fault.number) : body.size() / 2);
            }
            const QByteArray head = "HTTP/1.1 " + QByteArray::number(normal.status) + ' ' +
                                    reasonPhrase(normal.status) + "\r\nContent-Type: " + normal.contentType +
                                    "\r\nConnection: close\r\n\r\n";
            outcome.status = sendRaw(c, request, normal.status, head + body, false);
            c->silent = true;  // it ends in carryOn, in its own way
            c->buffer.clear();
            break;
        }
        case FaultKind::Interim:
            c->socket->write(interimHead(fault.number));
            [[fallthrough]];
        case FaultKind::Delay:
            c->pendingId = state->append(request);
            c->pendingClose = close;
            c->pending = request;
            outcome.notifyNow = false;
            break;
    }
    return outcome;
}

void Server::carryOn(Connection* c, const Request& request, const Fault& fault, const Answer& normal) {
    if (c->gone) {
        return;
    }
    if (fault.kind == FaultKind::Trickle) {
        startTrickle(c, std::max(1, fault.millis));
    } else if (fault.kind == FaultKind::Oversized) {
        pump(c);
    } else if (fault.kind == FaultKind::HeaderFlood) {
        // Whatever the client does, the connection ends by the deadline.
        QTimer::singleShot(fault.millis > 0 ? fault.millis : DefaultFloodMs, c, [c] {
            if (!c->gone) {
                c->socket->abort();
            }
        });
        pump(c);
    } else if (fault.kind == FaultKind::StaleSecond) {
        const QByteArray stale = answerBytes({200, contentTypeFor(request.path), orListo(fault.body)}, false);
        QTimer::singleShot(fault.millis > 0 ? fault.millis : StaleAfterMs, c, [this, c, stale] {
            if (c->gone || stopping) {
                return;
            }
            c->socket->write(stale);
            c->holding = false;
            serve(c);
        });
    } else if (fault.kind == FaultKind::ToTheAlert || fault.kind == FaultKind::AlertKeptOpen ||
               fault.kind == FaultKind::CutWithoutAlert || fault.kind == FaultKind::CutByReset) {
        endConnection(c, fault.kind, fault.millis);
    } else if (c->pending) {
        const Answer delayed = normal;
        QTimer::singleShot(fault.millis, c, [this, c, delayed] { answerLate(c, delayed); });
    }
}

void Server::endConnection(Connection* c, FaultKind how, int millis, int tries) {
    if (c->gone || stopping) {
        return;
    }
    c->socket->flush();
    if (c->socket->bytesToWrite() + c->socket->encryptedBytesToWrite() > 0 && tries < 400) {
        QTimer::singleShot(5, c, [this, c, how, millis, tries] { endConnection(c, how, millis, tries + 1); });
        return;
    }
    c->closing = true;
    const int descriptor = int(c->socket->socketDescriptor());
#ifdef Q_OS_UNIX
    if (how == FaultKind::CutWithoutAlert) {
        ::shutdown(descriptor, SHUT_WR);  // the FIN goes after the bytes written; TLS is not told
        QTimer::singleShot(DefaultFloodMs, c, [c] {
            if (!c->gone) {
                c->socket->abort();
            }
        });
        return;
    }
    if (how == FaultKind::CutByReset) {
        const linger now{1, 0};  // closing with a zero linger time resets the connection
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        c->socket->abort();
        return;
    }
    if (how == FaultKind::AlertKeptOpen) {
        // A second descriptor keeps the TCP connection open after the socket has sent its alert and closed its own.
        const int kept = ::dup(descriptor);
        if (kept >= 0) {
            new KeptOpen(kept, millis > 0 ? millis : DefaultFloodMs, this);
        }
    }
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(millis);
#endif
    c->socket->disconnectFromHost();
}

void Server::startTrickle(Connection* c, int millis) {
    auto* timer = new QTimer(c);
    timer->setInterval(millis);
    auto sent = std::make_shared<qint64>(0);
    QObject::connect(timer, &QTimer::timeout, c, [c, timer, sent] {
        if (c->gone || *sent >= TrickleLength) {
            timer->stop();
            return;
        }
        c->socket->write(filler(*sent, 1));
        ++*sent;
    });
    timer->start();
}

// Feeds a streamed answer to the socket as it drains, so that only a few pieces are ever held.
void Server::pump(Connection* c) {
    if (!c->streaming || c->gone || c->pumping || stopping) {
        return;
    }
    c->pumping = true;
    bool over = false;
    while (c->socket->bytesToWrite() + c->socket->encryptedBytesToWrite() < 2 * StreamPiece) {
        const QByteArray piece = c->nextPiece();
        if (piece.isEmpty()) {
            over = true;
            break;
        }
        c->socket->write(piece);
    }
    c->pumping = false;
    if (!over) {
        return;
    }
    c->streaming = false;
    c->nextPiece = {};
    {
        QMutexLocker lock(&state->mutex);
        if (Request* logged = state->entry(c->pendingId)) {
            logged->answeredNs = MarketSim::now();
        }
    }
    finishAnswer(c);
}

}  // namespace sim
