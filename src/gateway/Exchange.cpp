// The request's accessors, the system clock, and the query-string and form encoding the server and the
// marketplace client share.

#include "Exchange.h"

#include <QThread>

#include <algorithm>
#include <chrono>

namespace gateway {

QByteArray Request::queryValue(const QByteArray& key) const {
    for (const auto& [k, v] : query) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

bool Request::hasQuery(const QByteArray& key) const {
    return std::any_of(query.begin(), query.end(), [&](const auto& pair) { return pair.first == key; });
}

QByteArray Request::header(const QByteArray& lowerName) const {
    for (const auto& [k, v] : headers) {
        if (k == lowerName) {
            return v;
        }
    }
    return {};
}

qint64 SystemClock::steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SystemClock::sleepMs(qint64 ms) {
    QThread::msleep(static_cast<unsigned long>(std::max<qint64>(ms, 0)));
}

QList<QPair<QByteArray, QByteArray>> splitQuery(QByteArrayView query) {
    QList<QPair<QByteArray, QByteArray>> out;
    for (const QByteArray& part : query.toByteArray().split('&')) {
        if (part.isEmpty()) {
            continue;
        }
        const qsizetype eq = part.indexOf('=');
        out.append(eq < 0 ? qMakePair(part, QByteArray()) : qMakePair(part.left(eq), part.mid(eq + 1)));
    }
    return out;
}

void splitTarget(QByteArrayView target, QByteArray* path, QList<QPair<QByteArray, QByteArray>>* query) {
    const qsizetype q = target.indexOf('?');
    *path = (q < 0 ? target : target.first(q)).toByteArray();
    *query = q < 0 ? QList<QPair<QByteArray, QByteArray>>() : splitQuery(target.sliced(q + 1));
}

QByteArray formEncode(QByteArrayView value) {
    return value.toByteArray().toPercentEncoding();
}

QByteArray percentDecode(QByteArrayView value) {
    QByteArray plus = value.toByteArray();
    plus.replace('+', ' ');
    return QByteArray::fromPercentEncoding(plus);
}

}  // namespace gateway
