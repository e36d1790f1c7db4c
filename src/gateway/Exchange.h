#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

namespace gateway {

// One request as the server received it. Header names are kept in lower case.
struct Request {
    QByteArray method;
    QByteArray path;
    QList<QPair<QByteArray, QByteArray>> query;  // in order, as sent (not decoded)
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QString peer;
    QDateTime now;

    // The first value of a query key, or an empty array.
    QByteArray queryValue(const QByteArray& key) const;
    bool hasQuery(const QByteArray& key) const;
    QByteArray header(const QByteArray& lowerName) const;
};

struct Response {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QByteArray contentType = "text/plain; charset=utf-8";
};

// One call to the marketplace's API: `target` is the path with its query, relative to the API's base URL.
struct ApiCall {
    QByteArray method;
    QByteArray target;
    QByteArray bearer;  // the access token; empty for calls that carry none
    QByteArray body;
    QByteArray contentType;
    int timeoutMs = 10000;
};

struct ApiAnswer {
    int status = 0;  // 0: no answer arrived (time-out, refused connection, TLS failure)
    QByteArray body;
};

// The seam towards the marketplace: the real one speaks HTTPS, the tests' one answers from tables.
class MarketplaceClient {
  public:
    virtual ~MarketplaceClient() = default;
    virtual ApiAnswer send(const ApiCall& call) = 0;
};

// Waits between retries and their budget; tests count the waits instead of sleeping.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual qint64 steadyMs() = 0;
    virtual void sleepMs(qint64 ms) = 0;
};

class SystemClock final : public Clock {
  public:
    qint64 steadyMs() override;
    void sleepMs(qint64 ms) override;
};

// Splits "a=1&b=2" into pairs without decoding.
QList<QPair<QByteArray, QByteArray>> splitQuery(QByteArrayView query);
// Splits a request target "/path?query" into its path and its query pairs, neither decoded.
void splitTarget(QByteArrayView target, QByteArray* path, QList<QPair<QByteArray, QByteArray>>* query);
// Percent-encodes everything but unreserved characters, for form bodies and query values we build ourselves.
QByteArray formEncode(QByteArrayView value);
QByteArray percentDecode(QByteArrayView value);

}  // namespace gateway
