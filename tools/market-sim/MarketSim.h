#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <functional>
#include <memory>

// A stand-in for the marketplace and the maker's gateway: a real HTTPS/1.1 server on 127.0.0.1, serving from a
// thread of its own so that the program's waits never serve it. It keeps accounts, listings and their prices,
// answers the sign-in, the listing search, the price change and the pause request, can be told to misbehave on
// chosen requests, and logs every request it received.
namespace sim {

struct ApiOptions;

// The paths it serves, on one port (both base URLs of the program point at it).
inline constexpr char PathSignIn[] = "/mercadolibre/ml00000316_LogeandoEspecial.php";
inline constexpr char PathSearch[] = "/sites/MLV/search";
inline constexpr char PathPrice[] = "/mercadolibre/ml00000102_meliGet.php";
inline constexpr char PathPause[] = "/mercadolibre/ml00000319_Blank.php";

struct Listing {
    QString id;  // "MLV" followed by digits
    QString title;
    double price = 0;
    QString currency = QStringLiteral("VES");
};

// A fault whose answer is the normal one (late, cut, altered or wrongly framed) lets the request take effect, a
// price changes; one that answers something else does not. StaleSecond and OverlongBody keep the connection open
// for the client's next request and write "Listo!!!" when `body` is empty.
enum class FaultKind {
    Delay,          // answers normally after `millis`
    Drop,           // reads the request, then closes the connection without a byte
    DropMidAnswer,  // sends the headers (with the full Content-Length) and half the body, then closes
    NoAnswer,       // reads the request and never answers; the connection stays open
    Trickle,        // sends the headers, then one byte of body every `millis`, without end
    Status,         // answers with HTTP status `number` and `body` (an HTML error page when `body` is empty)
    Body,           // answers 200 with exactly `body` as it stands (any bytes: not JSON, NUL bytes, bad UTF-8)
    Total,          // a search page announcing `number` as "total" and "primary_results"
    FewerResults,   // a search page with `number` fewer elements in "results" than it would have had
    Oversized,      // answers 200 with a body of `number` bytes, streamed
    Refuse,         // a gateway request answered with a refusal text (no "Listo!!!")
    StaleSecond,    // answers normally, then `millis` later (300 when 0) a whole second 200 answer: `body`
    OverlongBody,   // answers normally, then writes `body` past the announced Content-Length; kept alive
    Interim,        // an interim answer `number` (100, 102 or 103; else 100), then the normal one `millis` later
    GzipNotGzip,    // the normal answer as it is (`body` when given), labelled "Content-Encoding: gzip"
    GzipCut,        // the normal answer gzipped and cut to its first half; Content-Length is the half's size
    GzipBomb,       // a gzip body that decodes to `number` (1 GiB when 0, at most 16 GiB) digits 0
    BadChunks,      // badly chunked, then closes; `number` 0: size "zz", 1: size past the data, 2: no CRLF
    Chunked,        // the normal answer correctly chunked, in chunks of `number` bytes (7 when 0)
    HeaderFlood,    // header lines of 1,000 bytes until `number` bytes (256 MiB) or `millis` (30 s) pass
    SetCookie,      // the normal answer with `number` (20 when 0, up to 1,000) Set-Cookie headers of 4,000 bytes
    // The normal answer without a length or chunks, its body running to the end of the connection, which ends:
    ToTheAlert,       // with TLS's closure alert and the close, as a server should end it
    AlertKeptOpen,    // with the closure alert, the TCP connection kept open until the client closes it (or `millis`)
    CutWithoutAlert,  // the body cut to `number` bytes (half when 0), then a bare FIN: no closure alert
    CutByReset,       // the body cut to `number` bytes (half when 0), then a TCP reset
    // The normal answer as to a request that keeps its connection, then the connection ended at once (closure alert
    // and FIN): a server closing an idle connection just as the next request comes.
    CloseAfterAnswer,
};

struct Fault {
    FaultKind kind = FaultKind::Delay;
    int millis = 0;
    qint64 number = 0;
    QByteArray body;
};

// One request as received. Times are std::chrono::steady_clock readings in nanoseconds, comparable with
// `MarketSim::now()` and with the readings of other threads of the same process.
struct Request {
    int connection = 0;  // serial number of the TCP connection it came on, from 1
    QByteArray method;
    QByteArray target;  // the request target exactly as sent: path and raw query
    QByteArray path;    // the target up to "?"
    QByteArray rawQuery;
    QList<QPair<QByteArray, QByteArray>> headers;  // as sent, names as they were written
    QByteArray body;                               // raw
    QMap<QString, QString> query;                  // percent-decoded (UTF-8) query members
    QMap<QString, QString> form;                   // the body read as application/x-www-form-urlencoded
    qint64 receivedNs = 0;                         // when the whole request had arrived
    qint64 answeredNs = 0;  // when the last byte of the answer was handed to the socket; 0 if none

    QByteArray header(const QByteArray& name) const;  // first header of that name, compared without letter case
};

class MarketSim {
  public:
    struct Options {
        // Serve with a self-signed certificate nobody trusts instead of the one issued by `caCertificates()`.
        bool strangerCertificate = false;
        quint16 port = 0;  // 0: any free port
        // A network's round trip: waited after accepting a connection before the TLS handshake, and after each
        // request before its answer.
        int roundTripMs = 0;
        // A certificate of one's own to serve with, its chain after it, and its key, instead of the embedded ones.
        QList<QSslCertificate> certificate;
        QSslKey key;
        // Standing misbehaviour, for rehearsing by hand; a fault added for a request comes first. The price
        // changes of `refuseItems` are refused (answered without "Listo!!!"); those of `failItems` have their
        // connection closed without an answer; every other answer is written `slowMs` late.
        QSet<QString> refuseItems;
        QSet<QString> failItems;
        int slowMs = 0;
    };

    MarketSim();
    ~MarketSim();  // stops the server and its thread; open connections are closed
    MarketSim(const MarketSim&) = delete;
    MarketSim& operator=(const MarketSim&) = delete;

    // Accounts and listings may be changed at any time, also while serving.
    void addAccount(const QString& user, const QString& password, const QString& sellerId);
    void addListing(const QString& sellerId, const Listing& listing);

    // Misbehaves on the `nth` request (counted from 1 since start()) whose path is `path`; nth 0: on every one.
    // A later fault for the same request replaces an earlier one.
    void addFault(const QByteArray& path, int nth, const Fault& fault);
    // The gateway opens a session at each sign-in, in a cookie, and changes a price only for a request that
    // carries an open one; off unless asked.
    void requireSessions(bool on);
    // Serves the marketplace's API double (Api.h) instead of the stand-in, from now on; false (and `error()` says
    // why) when its log file cannot be opened.
    bool serveApi(const ApiOptions& options);
    // The double's log: one JSON line per call, in the order answered.
    QList<QByteArray> apiLog() const;
    void clearFaults();

    // Listens on 127.0.0.1 in its own thread; false (and `error()` says why) when it cannot.
    bool start(const Options& options);
    bool start() { return start(Options()); }
    QString error() const;
    quint16 port() const;
    QString baseUrl() const;  // "https://127.0.0.1:PORT"

    // Called on the server's thread, outside its lock, once for every request: when the status line of its
    // answer is handed to the socket, or with status 0 when it gets none (dropped, never answered, or the peer
    // left before a delayed answer was due). Meant for printing; may call back into this object.
    using Observer = std::function<void(const Request& request, int status)>;
    void setObserver(Observer observer);

    // How many clients have ended their connection with TLS's closure alert since start().
    int closureAlerts() const;

    QList<Request> log() const;
    QList<Request> log(const QByteArray& path) const;
    void clearLog();

    static qint64 now();
    // The authority the program must trust to reach the simulator (the test CA).
    static QList<QSslCertificate> caCertificates();

  private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace sim
