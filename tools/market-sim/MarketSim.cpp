#include "MarketSim.h"

#include <QFile>
#include <QHash>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <utility>

// The certificates and keys are compiled into the library; a program linking it needs no files at run time.
static void ensureTlsResources() {
    if (!QFile::exists(QStringLiteral(":/marketsim/ca.pem"))) {
        Q_INIT_RESOURCE(marketsim_tls);
    }
}

namespace sim {

namespace {

constexpr qsizetype MaxHeadBytes = 64 * 1024;    // request line and headers
constexpr qsizetype MaxBodyBytes = 1024 * 1024;  // request body
constexpr qint64 StreamPiece = 64 * 1024;        // an oversized body goes out in pieces of this size
constexpr qint64 TrickleLength = 1024 * 1024;    // what a trickled answer announces; at 1 byte/ms, 17 minutes
constexpr int DefaultLimit = 50;
constexpr int MaxLimit = 50;
const char PriceKey[] = "480613";

QByteArray readResource(const QString& name) {
    ensureTlsResources();
    QFile file(QStringLiteral(":/marketsim/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

// ---- Text helpers -------------------------------------------------------------------------------------------------

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX sequences become bytes (read as UTF-8 at the end); a '%' not followed by two hex digits stays as it is.
QString percentDecode(QByteArrayView text, bool plusIsSpace) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            bytes.append(char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            bytes.append(' ');
        } else {
            bytes.append(c);
        }
    }
    return QString::fromUtf8(bytes);
}

// "a=1&b=2" as a map; a name given twice keeps its last value, as the maker's PHP gateway does.
QMap<QString, QString> decodePairs(const QByteArray& text, bool plusIsSpace) {
    QMap<QString, QString> pairs;
    for (const QByteArray& part : text.split('&')) {
        if (part.isEmpty()) {
            continue;
        }
        const qsizetype eq = part.indexOf('=');
        const QByteArrayView name = eq < 0 ? QByteArrayView(part) : QByteArrayView(part).first(eq);
        const QByteArrayView value = eq < 0 ? QByteArrayView() : QByteArrayView(part).sliced(eq + 1);
        pairs.insert(percentDecode(name, plusIsSpace), percentDecode(value, plusIsSpace));
    }
    return pairs;
}

QByteArray jsonString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out.append('"');
    for (const char c : utf8) {
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    static const char digits[] = "0123456789abcdef";
                    out.append("\\u00");
                    out.append(digits[(c >> 4) & 0xf]);
                    out.append(digits[c & 0xf]);
                } else {
                    out.append(c);
                }
        }
    }
    out.append('"');
    return out;
}

// Plain decimal notation, '.' as separator, no grouping, as few digits as give the value back.
QByteArray jsonNumber(double value) {
    if (!std::isfinite(value)) {
        return QByteArrayLiteral("0");
    }
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        return QByteArray::number(static_cast<qint64>(value));
    }
    return QByteArray::number(value, 'f', QLocale::FloatingPointShortest);
}

bool allDigits(const QString& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// A seller id is a JSON number when it is one, as the marketplace writes it.
QByteArray sellerIdJson(const QString& id) {
    if (allDigits(id) && id.size() <= 15) {
        return id.toLatin1();
    }
    return jsonString(id);
}

// "Licuadora Oster 10 Velocidades" -> "licuadora-oster-10-velocidades"; accents dropped.
QByteArray titleSlug(const QString& title) {
    const QString plain = title.normalized(QString::NormalizationForm_D);
    QByteArray slug;
    bool dash = false;
    for (const QChar c : plain) {
        if (c.category() == QChar::Mark_NonSpacing) {
            continue;
        }
        const QChar lower = c.toLower();
        if ((lower >= u'a' && lower <= u'z') || (lower >= u'0' && lower <= u'9')) {
            if (dash && !slug.isEmpty()) {
                slug.append('-');
            }
            dash = false;
            slug.append(char(lower.unicode()));
        } else {
            dash = true;
        }
    }
    return slug;
}

int availableQuantity(const QString& id) {
    int sum = 0;
    for (const QChar c : id) {
        if (c.isDigit()) {
            sum += c.digitValue();
        }
    }
    return 1 + sum % 25;
}

QByteArray reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            break;
    }
    if (status >= 200 && status < 300) {
        return "OK";
    }
    if (status >= 400 && status < 500) {
        return "Client Error";
    }
    if (status >= 500) {
        return "Server Error";
    }
    return "Status";
}

QByteArray errorPage(int status) {
    const QByteArray title = QByteArray::number(status) + ' ' + reasonPhrase(status);
    return "<html><head><title>" + title + "</title></head><body><h1>" + reasonPhrase(status) + "</h1></body></html>";
}

// Bytes [from, from + count) of an endless JSON-looking filler: {"x":"aaaa...
QByteArray filler(qint64 from, qint64 count) {
    static const QByteArray prefix = QByteArrayLiteral("{\"x\":\"");
    QByteArray bytes(count, 'a');
    for (qint64 i = from; i < prefix.size() && i - from < count; ++i) {
        bytes[i - from] = prefix[i];
    }
    return bytes;
}

const QByteArray TextPlain = QByteArrayLiteral("text/plain; charset=utf-8");
const QByteArray TextHtml = QByteArrayLiteral("text/html; charset=utf-8");
const QByteArray Json = QByteArrayLiteral("application/json; charset=utf-8");

QByteArray contentTypeFor(const QByteArray& path) {
    if (path == PathSearch) {
        return Json;
    }
    if (path == PathSignIn || path == PathPrice || path == PathPause) {
        return TextPlain;
    }
    return TextHtml;
}

QByteArray answerHead(int status, const QByteArray& contentType, qint64 length, bool close) {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    head += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    head += "\r\n";
    return head;
}

// ---- Reading requests ---------------------------------------------------------------------------------------------

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

enum class Parsed { Incomplete, Complete, Malformed };

// Takes one whole request off the front of `buffer` into `request`; `close` tells whether the client wants the
// connection closed after the answer.
Parsed takeRequest(QByteArray& buffer, Request& request, bool& close) {
    // Empty lines ahead of a request line are ignored.
    qsizetype start = 0;
    while (buffer.size() - start >= 2 && buffer[start] == '\r' && buffer[start + 1] == '\n') {
        start += 2;
    }
    if (start > 0) {
        buffer.remove(0, start);
    }
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return buffer.size() > MaxHeadBytes ? Parsed::Malformed : Parsed::Incomplete;
    }
    if (headEnd + 4 > MaxHeadBytes) {
        return Parsed::Malformed;
    }

    const QByteArrayView head = QByteArrayView(buffer).first(headEnd);
    QList<QByteArrayView> lines;
    for (qsizetype from = 0; from <= head.size();) {
        qsizetype to = head.indexOf(QByteArrayView("\r\n"), from);
        if (to < 0) {
            to = head.size();
        }
        lines.append(head.sliced(from, to - from));
        from = to + 2;
    }

    const QByteArrayView requestLine = lines.front();
    const qsizetype firstSpace = requestLine.indexOf(' ');
    const qsizetype lastSpace = requestLine.lastIndexOf(' ');
    if (firstSpace <= 0 || lastSpace <= firstSpace + 1) {
        return Parsed::Malformed;
    }
    const QByteArrayView method = requestLine.first(firstSpace);
    const QByteArrayView target = requestLine.sliced(firstSpace + 1, lastSpace - firstSpace - 1);
    const QByteArrayView version = requestLine.sliced(lastSpace + 1);
    if (!isToken(method) || (version != "HTTP/1.1" && version != "HTTP/1.0") || !target.startsWith('/')) {
        return Parsed::Malformed;
    }
    for (const char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return Parsed::Malformed;
        }
    }

    QList<QPair<QByteArray, QByteArray>> headers;
    std::optional<qint64> contentLength;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon))) {
            return Parsed::Malformed;  // also a folded line, which starts with white space
        }
        const QByteArray name = line.first(colon).toByteArray();
        const QByteArray value = line.sliced(colon + 1).toByteArray().trimmed();
        if (value.contains('\r') || value.contains('\n')) {
            return Parsed::Malformed;
        }
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            const bool digits = !value.isEmpty() &&
                                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!ok || !digits || (contentLength && *contentLength != length)) {
                return Parsed::Malformed;
            }
            contentLength = length;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            return Parsed::Malformed;  // request bodies come with a length
        }
        headers.append({name, value});
    }
    const qint64 bodyLength = contentLength.value_or(0);
    if (bodyLength > MaxBodyBytes) {
        return Parsed::Malformed;
    }
    const qsizetype bodyStart = headEnd + 4;
    if (buffer.size() - bodyStart < bodyLength) {
        return Parsed::Incomplete;
    }

    request.method = method.toByteArray();
    request.target = target.toByteArray();
    const qsizetype question = request.target.indexOf('?');
    request.path = question < 0 ? request.target : request.target.first(question);
    request.rawQuery = question < 0 ? QByteArray() : request.target.sliced(question + 1);
    request.headers = headers;
    request.body = buffer.sliced(bodyStart, bodyLength);
    request.query = decodePairs(request.rawQuery, false);
    request.form = decodePairs(request.body, true);
    const bool http10 = version == "HTTP/1.0";
    buffer.remove(0, bodyStart + bodyLength);

    close = http10;
    for (const auto& [name, value] : std::as_const(request.headers)) {
        if (name.compare("Connection", Qt::CaseInsensitive) != 0) {
            continue;
        }
        for (const QByteArray& option : value.split(',')) {
            const QByteArray word = option.trimmed();
            if (word.compare("close", Qt::CaseInsensitive) == 0) {
                close = true;
            } else if (word.compare("keep-alive", Qt::CaseInsensitive) == 0 && http10) {
                close = false;
            }
        }
    }
    return Parsed::Complete;
}

// ---- Shared state -------------------------------------------------------------------------------------------------

struct Answer {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
};

Answer textAnswer(const QByteArray& text) {
    return {200, TextPlain, text};
}

// Faults whose answer is the normal one (late, cut or altered) let the request take effect; the others do not.
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

struct State {
    struct Account {
        QString password;
        QString sellerId;
    };

    mutable QMutex mutex;

    QHash<QString, Account> accounts;
    QHash<QString, QList<Listing>> listings;  // by seller, in the order added
    QHash<QString, QString> sellerOf;         // listing id -> seller id
    QMap<std::pair<QByteArray, int>, Fault> faults;
    QHash<QByteArray, int> counts;  // requests per path since start()
    QList<Request> log;
    QList<quint64> logIds;  // beside `log`, to find an entry again once its answer has gone out
    quint64 nextLogId = 1;
    MarketSim::Observer observer;
    QString error;
    quint16 port = 0;

    // Everything below expects the caller to hold `mutex`.

    std::optional<Fault> faultFor(const QByteArray& path, int nth) const {
        auto it = faults.constFind({path, nth});
        if (it == faults.cend()) {
            it = faults.constFind({path, 0});
        }
        if (it == faults.cend()) {
            return std::nullopt;
        }
        return *it;
    }

    quint64 append(const Request& request) {
        const quint64 id = nextLogId++;
        log.append(request);
        logIds.append(id);
        return id;
    }

    Request* entry(quint64 id) {
        for (qsizetype i = logIds.size() - 1; i >= 0; --i) {
            if (logIds[i] == id) {
                return &log[i];
            }
        }
        return nullptr;
    }

    Listing* findListing(const QString& id) {
        const auto seller = sellerOf.constFind(id);
        if (seller == sellerOf.cend()) {
            return nullptr;
        }
        QList<Listing>& list = listings[*seller];
        for (Listing& listing : list) {
            if (listing.id == id) {
                return &listing;
            }
        }
        return nullptr;
    }

    Answer answer(const Request& request, const std::optional<Fault>& fault) {
        if (request.path == PathSignIn) {
            return signIn(request);
        }
        if (request.path == PathSearch) {
            return search(request, fault);
        }
        if (request.path == PathPrice) {
            return changePrice(request);
        }
        if (request.path == PathPause) {
            return textAnswer("ok");
        }
        return {404, TextHtml, errorPage(404)};
    }

    Answer signIn(const Request& request) const {
        const auto account = accounts.constFind(request.form.value(QStringLiteral("fusuario")));
        if (account == accounts.cend() || account->password != request.form.value(QStringLiteral("fclave")) ||
            !request.form.contains(QStringLiteral("fclave"))) {
            return textAnswer("Usuario o clave incorrectos.");
        }
        return textAnswer("Listo!!!" + account->sellerId.toUtf8());
    }

    Answer changePrice(const Request& request) {
        if (request.query.value(QStringLiteral("men")) != QLatin1String(PriceKey)) {
            return textAnswer("Error: solicitud no autorizada.");
        }
        Listing* listing = findListing(request.query.value(QStringLiteral("item_id")));
        if (!listing) {
            return textAnswer("Error: publicación desconocida.");
        }
        const QString price = request.query.value(QStringLiteral("precio_item"));
        const auto valid = [](const QString& text) {
            const qsizetype dot = text.indexOf(u'.');
            const QString whole = dot < 0 ? text : text.first(dot);
            const QString fraction = dot < 0 ? QStringLiteral("0") : text.sliced(dot + 1);
            return allDigits(whole) && allDigits(fraction);
        };
        bool ok = false;
        const double value = price.toDouble(&ok);
        if (!valid(price) || !ok || !std::isfinite(value)) {
            return textAnswer("Error: precio inválido.");
        }
        listing->price = value;
        return textAnswer("Listo!!! Precio actualizado.");
    }

    Answer search(const Request& request, const std::optional<Fault>& fault) const {
        const QString sellerId = request.query.value(QStringLiteral("seller_id"));
        bool ok = false;
        qint64 limit = request.query.value(QStringLiteral("limit")).toLongLong(&ok);
        if (!ok || limit < 0) {
            limit = DefaultLimit;
        }
        limit = std::min<qint64>(limit, MaxLimit);
        qint64 offset = request.query.value(QStringLiteral("offset")).toLongLong(&ok);
        if (!ok || offset < 0) {
            offset = 0;
        }

        const QList<Listing> list = listings.value(sellerId);
        const qint64 total = list.size();
        const qint64 first = std::min(offset, total);
        qint64 announced = total;
        qint64 end = std::min(total, first + limit);
        if (fault && fault->kind == FaultKind::Total) {
            announced = fault->number;
            end = std::min(end, std::max(first, fault->number));  // never more than number - offset
        }
        if (fault && fault->kind == FaultKind::FewerResults) {
            end -= std::max<qint64>(0, fault->number);
        }

        const QByteArray seller = "{\"id\":" + sellerIdJson(sellerId) + "}";
        QByteArray json =
            "{\"site_id\":\"MLV\",\"seller\":" + seller + ",\"paging\":{\"total\":" + QByteArray::number(announced) +
            ",\"primary_results\":" + QByteArray::number(announced) + ",\"offset\":" + QByteArray::number(offset) +
            ",\"limit\":" + QByteArray::number(limit) + "},\"results\":[";
        for (qint64 i = first; i < end; ++i) {
            const Listing& listing = list[i];
            if (i > first) {
                json += ',';
            }
            QByteArray digits = listing.id.toUtf8();
            if (digits.startsWith("MLV")) {
                digits.remove(0, 3);
            }
            const QByteArray permalink =
                "https://articulo.mercadolibre.com.ve/MLV-" + digits + '-' + titleSlug(listing.title) + "-_JM";
            json +=
                "{\"id\":" + jsonString(listing.id) + ",\"site_id\":\"MLV\",\"title\":" + jsonString(listing.title) +
                ",\"price\":" + jsonNumber(listing.price) + ",\"currency_id\":" + jsonString(listing.currency) +
                ",\"available_quantity\":" + QByteArray::number(availableQuantity(listing.id)) +
                ",\"condition\":\"new\",\"permalink\":" + jsonString(QString::fromUtf8(permalink)) +
                ",\"thumbnail\":" + jsonString(QStringLiteral("http://http2.mlstatic.com/D_%1-I.jpg").arg(listing.id)) +
                ",\"seller\":" + seller + '}';
        }
        json += "],\"sort\":{\"id\":\"relevance\",\"name\":\"Más relevantes\"},\"available_filters\":[]}";
        return {200, Json, json};
    }
};

// ---- The server, living in its own thread -------------------------------------------------------------------------

// One accepted connection; a child of its socket, so both go together.
class Connection : public QObject {
  public:
    Connection(QSslSocket* socket, int serial) : QObject(socket), socket(socket), serial(serial) {}

    QSslSocket* const socket;
    const int serial;
    QByteArray buffer;
    bool silent = false;   // never answers again (NoAnswer, Trickle): whatever comes is thrown away
    bool closing = false;  // closed or closing: nothing more is read
    bool gone = false;     // disconnected
    // The request whose answer is still to come.
    std::optional<Request> pending;
    quint64 pendingId = 0;
    bool pendingClose = false;
    // Streaming.
    qint64 streamSent = 0;
    qint64 streamLength = 0;
    bool streaming = false;
    bool pumping = false;

    // An answer is still to come (delayed or streaming); later requests wait for it.
    bool busy() const { return pending.has_value() || streaming; }
};

class Worker : public QObject {
  public:
    explicit Worker(State* state) : state(state) {}

    bool listen(const QSslConfiguration& configuration, quint16 port, QString* error, quint16* boundPort) {
        server = new QSslServer(this);
        server->setSslConfiguration(configuration);
        server->setMaxPendingConnections(100000);
        QObject::connect(server, &QTcpServer::pendingConnectionAvailable, this, [this] { accept(); });
        if (!server->listen(QHostAddress::LocalHost, port)) {
            *error = server->errorString();
            delete server;
            server = nullptr;
            return false;
        }
        *boundPort = server->serverPort();
        return true;
    }

    // Closes everything at once; runs in the server's thread.
    void shutdown() {
        stopping = true;
        if (server) {
            server->close();
        }
        const QList<QSslSocket*> sockets = findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly);
        for (QSslSocket* socket : sockets) {
            socket->disconnect();
            socket->abort();
        }
        const QObjectList children = this->children();
        qDeleteAll(children);
        server = nullptr;
    }

  private:
    void accept() {
        while (server && server->hasPendingConnections()) {
            auto* socket = qobject_cast<QSslSocket*>(server->nextPendingConnection());
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
            QObject::connect(socket, &QSslSocket::bytesWritten, c, [this, c] { pump(c); });
            QObject::connect(socket, &QSslSocket::encryptedBytesWritten, c, [this, c] { pump(c); });
            if (socket->state() != QAbstractSocket::ConnectedState) {
                lost(c);
                continue;
            }
            read(c);
        }
    }

    void lost(Connection* c) {
        if (c->gone || stopping) {
            return;
        }
        c->gone = true;
        c->closing = true;
        if (c->pending) {
            // A delayed answer the peer did not wait for.
            notify(*c->pending, 0);
            c->pending.reset();
        }
        c->socket->deleteLater();
    }

    void read(Connection* c) {
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
    void serve(Connection* c) {
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
            handle(c, std::move(request), close);
        }
    }

    void handle(Connection* c, Request request, bool close) {
        request.connection = c->serial;
        request.receivedNs = MarketSim::now();
        int status = 0;
        bool notifyNow = true;
        std::optional<Fault> fault;
        Answer normal;
        {
            QMutexLocker lock(&state->mutex);
            const int nth = ++state->counts[request.path];
            fault = state->faultFor(request.path, nth);
            if (takesEffect(fault)) {
                normal = state->answer(request, fault);
            }
            const FaultKind kind = fault ? fault->kind : FaultKind::Delay;
            const bool faulted = fault && !(kind == FaultKind::Delay && fault->millis <= 0);

            if (!faulted || kind == FaultKind::Total || kind == FaultKind::FewerResults) {
                status = sendWhole(c, request, normal, close);
            } else if (kind == FaultKind::Status) {
                const int code = fault->number >= 100 && fault->number <= 999 ? int(fault->number) : 500;
                status = sendWhole(c, request, {code, TextHtml, fault->body.isEmpty() ? errorPage(code) : fault->body},
                                   close);
            } else if (kind == FaultKind::Body) {
                status = sendWhole(c, request, {200, TextHtml, fault->body}, close);
            } else if (kind == FaultKind::Refuse) {
                status = sendWhole(c, request, textAnswer("Error: el servidor rechazó la solicitud."), close);
            } else if (kind == FaultKind::Drop) {
                state->append(request);
                c->closing = true;
            } else if (kind == FaultKind::DropMidAnswer) {
                const QByteArray head = answerHead(normal.status, normal.contentType, normal.body.size(), close);
                request.answeredNs = MarketSim::now();
                state->append(request);
                c->socket->write(head + normal.body.first(normal.body.size() / 2));
                c->closing = true;
                status = normal.status;
            } else if (kind == FaultKind::NoAnswer) {
                state->append(request);
                c->silent = true;
                c->buffer.clear();
            } else if (kind == FaultKind::Trickle) {
                state->append(request);
                c->silent = true;
                c->buffer.clear();
                c->socket->write(answerHead(200, contentTypeFor(request.path), TrickleLength, close));
                status = 200;
            } else if (kind == FaultKind::Oversized) {
                c->pendingId = state->append(request);
                c->pendingClose = close;
                c->streaming = true;
                c->streamSent = 0;
                c->streamLength = std::max<qint64>(0, fault->number);
                c->socket->write(answerHead(200, contentTypeFor(request.path), c->streamLength, close));
                status = 200;
            } else {  // Delay
                c->pendingId = state->append(request);
                c->pendingClose = close;
                c->pending = request;
                notifyNow = false;
            }
        }

        if (c->closing && !c->gone) {
            c->socket->disconnectFromHost();
        }
        if (notifyNow) {
            notify(request, status);
        }

        if (fault && fault->kind == FaultKind::Trickle) {
            startTrickle(c, std::max(1, fault->millis));
        } else if (fault && fault->kind == FaultKind::Oversized) {
            pump(c);
        } else if (c->pending) {
            const Answer delayed = normal;
            QTimer::singleShot(fault->millis, c, [this, c, delayed] { answerLate(c, delayed); });
        }
    }

    // Hands a whole answer to the socket and logs the request with it; the caller holds the lock.
    int sendWhole(Connection* c, Request& request, const Answer& answer, bool close) {
        request.answeredNs = MarketSim::now();
        state->append(request);
        c->socket->write(answerHead(answer.status, answer.contentType, answer.body.size(), close) + answer.body);
        c->closing = close;
        return answer.status;
    }

    void answerLate(Connection* c, const Answer& answer) {
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
            c->socket->write(answerHead(answer.status, answer.contentType, answer.body.size(), c->pendingClose) +
                             answer.body);
        }
        notify(request, answer.status);
        finishAnswer(c);
    }

    // After an answer that came late: closes when asked to, else goes on with the requests that waited.
    void finishAnswer(Connection* c) {
        if (c->pendingClose) {
            c->closing = true;
            c->socket->disconnectFromHost();
            return;
        }
        serve(c);
    }

    void startTrickle(Connection* c, int millis) {
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
    void pump(Connection* c) {
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

    void notify(const Request& request, int status) {
        MarketSim::Observer observer;
        {
            QMutexLocker lock(&state->mutex);
            observer = state->observer;
        }
        if (observer) {
            observer(request, status);
        }
    }

    State* const state;
    QSslServer* server = nullptr;
    int nextSerial = 1;
    bool stopping = false;
};

}  // namespace

// ---- MarketSim ----------------------------------------------------------------------------------------------------

QByteArray Request::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

struct MarketSim::Impl {
    State state;
    std::unique_ptr<QThread> thread;
    Worker* worker = nullptr;

    void stop() {
        if (!thread) {
            return;
        }
        if (worker) {
            QMetaObject::invokeMethod(
                worker, [this] { worker->shutdown(); }, Qt::BlockingQueuedConnection);
        }
        thread->quit();
        thread->wait();
        delete worker;
        worker = nullptr;
        thread.reset();
        QMutexLocker lock(&state.mutex);
        state.port = 0;
    }
};

MarketSim::MarketSim() : d(std::make_unique<Impl>()) {}

MarketSim::~MarketSim() {
    d->stop();
}

void MarketSim::addAccount(const QString& user, const QString& password, const QString& sellerId) {
    QMutexLocker lock(&d->state.mutex);
    d->state.accounts.insert(user, {password, sellerId});
}

void MarketSim::addListing(const QString& sellerId, const Listing& listing) {
    QMutexLocker lock(&d->state.mutex);
    State& s = d->state;
    const auto previous = s.sellerOf.constFind(listing.id);
    if (previous != s.sellerOf.cend()) {
        QList<Listing>& list = s.listings[*previous];
        const auto same = [&](const Listing& l) { return l.id == listing.id; };
        if (*previous == sellerId) {
            *std::find_if(list.begin(), list.end(), same) = listing;  // a listing added again is replaced in place
            return;
        }
        list.removeIf(same);
    }
    s.listings[sellerId].append(listing);
    s.sellerOf.insert(listing.id, sellerId);
}

void MarketSim::addFault(const QByteArray& path, int nth, const Fault& fault) {
    QMutexLocker lock(&d->state.mutex);
    d->state.faults.insert({path, std::max(0, nth)}, fault);
}

void MarketSim::clearFaults() {
    QMutexLocker lock(&d->state.mutex);
    d->state.faults.clear();
}

bool MarketSim::start(const Options& options) {
    if (d->thread) {
        QMutexLocker lock(&d->state.mutex);
        d->state.error = QStringLiteral("already serving on port %1").arg(d->state.port);
        return false;
    }
    const QString name = options.strangerCertificate ? QStringLiteral("stranger") : QStringLiteral("server");
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(readResource(name + ".pem"), QSsl::Pem);
    const QSslKey key(readResource(name + ".key"), QSsl::Ec, QSsl::Pem);
    if (certificates.isEmpty() || key.isNull()) {
        QMutexLocker lock(&d->state.mutex);
        d->state.error = QStringLiteral("the embedded certificate or key %1 cannot be read").arg(name);
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificates.front());
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);

    {
        QMutexLocker lock(&d->state.mutex);
        d->state.counts.clear();
        d->state.error.clear();
    }
    d->thread = std::make_unique<QThread>();
    d->thread->setObjectName(QStringLiteral("MarketSim"));
    d->worker = new Worker(&d->state);
    d->worker->moveToThread(d->thread.get());
    d->thread->start();

    bool listening = false;
    QString error;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        d->worker, [&] { listening = d->worker->listen(configuration, options.port, &error, &port); },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        d->stop();
        QMutexLocker lock(&d->state.mutex);
        d->state.error = error;
        return false;
    }
    QMutexLocker lock(&d->state.mutex);
    d->state.port = port;
    return true;
}

QString MarketSim::error() const {
    QMutexLocker lock(&d->state.mutex);
    return d->state.error;
}

quint16 MarketSim::port() const {
    QMutexLocker lock(&d->state.mutex);
    return d->state.port;
}

QString MarketSim::baseUrl() const {
    return QStringLiteral("https://127.0.0.1:%1").arg(port());
}

void MarketSim::setObserver(Observer observer) {
    QMutexLocker lock(&d->state.mutex);
    d->state.observer = std::move(observer);
}

QList<Request> MarketSim::log() const {
    QMutexLocker lock(&d->state.mutex);
    return d->state.log;
}

QList<Request> MarketSim::log(const QByteArray& path) const {
    QMutexLocker lock(&d->state.mutex);
    QList<Request> requests;
    for (const Request& request : d->state.log) {
        if (request.path == path) {
            requests.append(request);
        }
    }
    return requests;
}

void MarketSim::clearLog() {
    QMutexLocker lock(&d->state.mutex);
    d->state.log.clear();
    d->state.logIds.clear();
}

qint64 MarketSim::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QList<QSslCertificate> MarketSim::caCertificates() {
    return QSslCertificate::fromData(readResource(QStringLiteral("ca.pem")), QSsl::Pem);
}

}  // namespace sim
