// The ways the simulator misbehaves on a chosen request, written on the connection instead of the normal answer.
#include "Server.h"

#include <QMutexLocker>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace sim {

namespace {

constexpr qint64 StreamPiece = 64 * 1024;      // an oversized body goes out in pieces of this size
constexpr qint64 TrickleLength = 1024 * 1024;  // what a trickled answer announces; at 1 byte/ms, 17 minutes

// Bytes [from, from + count) of an endless JSON-looking filler: {"x":"aaaa...
QByteArray filler(qint64 from, qint64 count) {
    static const QByteArray prefix = QByteArrayLiteral("{\"x\":\"");
    QByteArray bytes(count, 'a');
    for (qint64 i = from; i < prefix.size() && i - from < count; ++i) {
        bytes[i - from] = prefix[i];
    }
    return bytes;
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
        case FaultKind::Oversized:
            c->pendingId = state->append(request);
            c->pendingClose = close;
            c->streaming = true;
            c->streamSent = 0;
            c->streamLength = std::max<qint64>(0, fault.number);
            c->socket->write(answerHead(200, contentTypeFor(request.path), c->streamLength, close));
            outcome.status = 200;
            break;
        case FaultKind::Total:
        case FaultKind::FewerResults:
            outcome.status = sendWhole(c, request, normal, close);  // the page itself is altered
            break;
        case FaultKind::Delay:
            c->pendingId = state->append(request);
            c->pendingClose = close;
            c->pending = request;
            outcome.notifyNow = false;
            break;
    }
    return outcome;
}

void Server::carryOn(Connection* c, const Fault& fault, const Answer& normal) {
    if (fault.kind == FaultKind::Trickle) {
        startTrickle(c, std::max(1, fault.millis));
    } else if (fault.kind == FaultKind::Oversized) {
        pump(c);
    } else if (c->pending) {
        const Answer delayed = normal;
        QTimer::singleShot(fault.millis, c, [this, c, delayed] { answerLate(c, delayed); });
    }
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

// Feeds an oversized body to the socket as it drains, so that only a few pieces are ever held.
void Server::pump(Connection* c) {
    if (!c->streaming || c->gone || c->pumping || stopping) {
        return;
    }
    c->pumping = true;
    while (c->streamSent < c->streamLength &&
           c->socket->bytesToWrite() + c->socket->encryptedBytesToWrite() < 2 * StreamPiece) {
        const qint64 piece = std::min(StreamPiece, c->streamLength - c->streamSent);
        c->socket->write(filler(c->streamSent, piece));
        c->streamSent += piece;
    }
    c->pumping = false;
    if (c->streamSent < c->streamLength) {
        return;
    }
    c->streaming = false;
    {
        QMutexLocker lock(&state->mutex);
        if (Request* logged = state->entry(c->pendingId)) {
            logged->answeredNs = MarketSim::now();
        }
    }
    finishAnswer(c);
}

}  // namespace sim
