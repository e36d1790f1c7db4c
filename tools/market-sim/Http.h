#pragma once

// HTTP/1.1 as the simulator speaks it: taking requests off a connection's bytes and the head of an answer.

#include "MarketSim.h"

#include <QByteArray>
#include <QByteArrayView>

#include <utility>

namespace sim {

inline constexpr qsizetype MaxHeadBytes = 64 * 1024;    // request line and headers
inline constexpr qsizetype MaxBodyBytes = 1024 * 1024;  // request body

inline const QByteArray TextPlain = QByteArrayLiteral("text/plain; charset=utf-8");
inline const QByteArray TextHtml = QByteArrayLiteral("text/html; charset=utf-8");
inline const QByteArray Json = QByteArrayLiteral("application/json; charset=utf-8");

struct Answer {
    Answer() = default;
    Answer(int status, QByteArray contentType, QByteArray body, QByteArray headers = {})
        : status(status), contentType(std::move(contentType)), body(std::move(body)), headers(std::move(headers)) {}

    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QByteArray headers;  // header lines of this answer (Set-Cookie, Location), each ending in CRLF
};

inline Answer textAnswer(const QByteArray& text) {
    return {200, TextPlain, text};
}

QByteArray reasonPhrase(int status);
QByteArray errorPage(int status);
QByteArray contentTypeFor(const QByteArray& path);
// The status line and headers, `headers` (lines ending in CRLF) last; `length` < 0 announces a chunked body
// instead of its length.
QByteArray answerHead(int status, const QByteArray& contentType, qint64 length, bool close,
                      const QByteArray& headers = {});
// A whole answer: head and body.
QByteArray answerBytes(const Answer& answer, bool close, const QByteArray& headers = {});

enum class Parsed { Incomplete, Complete, Malformed };

// Takes one whole request off the front of `buffer` into `request`; `close` tells whether the client wants the
// connection closed after the answer.
Parsed takeRequest(QByteArray& buffer, Request& request, bool& close);

}  // namespace sim
