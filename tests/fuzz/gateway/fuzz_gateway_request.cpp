// What a caller sends, through the gateway's own reading of it. The first byte picks what the rest is:
//   even: a sign-in body (the store holds the account "tienda" with the password "clave1", linked and with a
//         token good for hours, so a right body signs in without the marketplace);
//   odd:  a request target "/path?query", sent without a session cookie.
// Checked: a sign-in answers "Listo!!!777" with a session cookie exactly for the one right body and otherwise one
// of its sentences; a target is split so that its pairs put back together give the query again; no request
// without a session reaches the marketplace or answers the success marker; every price a query carries that the
// rounding accepts is a plain decimal above zero that rounds to itself.
#include "Gateway.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace gateway;

namespace {

struct CountingMarket final : MarketplaceClient {
    int calls = 0;
    ApiAnswer send(const ApiCall&) override {
        ++calls;
        return {};
    }
};

struct NoWait final : Clock {
    qint64 ms = 0;
    qint64 steadyMs() override { return ms; }
    void sleepMs(qint64 wait) override { ms += wait; }
};

struct World {
    QTemporaryDir dir{QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/fuzz-gateway-XXXXXX")
                                                                : QDir::tempPath() + "/fuzz-gateway-XXXXXX"};
    Store store{dir.filePath(QStringLiteral("gateway.sqlite"))};
    Sealer sealer{QByteArray(32, 'k')};
    CountingMarket market;
    NoWait clock;
    std::unique_ptr<Gateway> gateway;
    qint64 now = 1'900'000'000;

    World() {
        if (!initSecrets() || !store.open() ||
            !store.addAccount(QStringLiteral("tienda"), hashPassword("clave1", PasswordCost::minimum())) ||
            !store.setSeller(QStringLiteral("tienda"), QStringLiteral("777"))) {
            std::fprintf(stderr, "the fuzz store could not be prepared\n");
            std::abort();
        }
        GatewayConfig config{{"app-1", "secreto", "https://pasarela.example/oauth/callback"},
                             "https://auth.example/authorization",
                             "https://pasarela.example",
                             PasswordCost::minimum(),
                             20000,
                             10000};
        gateway = std::make_unique<Gateway>(store, market, clock, sealer, config);
    }
};

World& world() {
    static int argc = 1;
    static char name[] = "fuzz_gateway_request";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World w;
    return w;
}

[[noreturn]] void broken(const char* what, const QByteArray& detail) {
    std::fprintf(stderr, "broken: %s: %s\n", what, detail.toHex().constData());
    std::abort();
}

bool isSentence(const QByteArray& body) {
    static const QList<QByteArray> fixed{texts::WrongCredentials, texts::MissingCredentials, texts::GatewayBusy,
                                         texts::StoreDown};
    if (fixed.contains(body)) {
        return true;
    }
    // A sentence with a time "HH:MM" in place of its %1.
    const auto withTime = [](const char* text) {
        const QStringList around = QString::fromUtf8(text).split(QStringLiteral("%1"));
        return QRegularExpression::escape(around[0]) + QStringLiteral("\\d\\d:\\d\\d") +
               QRegularExpression::escape(around[1]);
    };
    static const QRegularExpression locked(
        QStringLiteral("^(%1|%2)$").arg(withTime(texts::LockedUntil), withTime(texts::AddressLocked)));
    return locked.match(QString::fromUtf8(body)).hasMatch();
}

void signIn(World& w, const QByteArray& body) {
    Request r;
    r.method = "POST";
    r.path = SignInPath;
    r.body = body;
    r.peer = QStringLiteral("192.0.2.1");
    // An hour apart: the account's and the address's locks from earlier inputs have lapsed.
    w.now += 3600;
    r.now = QDateTime::fromSecsSinceEpoch(w.now, Qt::UTC);
    w.store.saveTokens(QStringLiteral("777"), w.sealer.seal("APP_USR-acceso"), w.sealer.seal("TG-renovacion"),
                       w.now + 6 * 3600);
    const int calls = w.market.calls;
    const Response answer = w.gateway->handle(r);
    const bool right = body == "fusuario=tienda&fclave=clave1";
    const bool cookie = std::any_of(answer.headers.begin(), answer.headers.end(),
                                    [](const auto& h) { return h.first == "Set-Cookie"; });
    if (answer.status != 200) {
        broken("a sign-in answered another status than 200", body);
    }
    if (right != (answer.body == "Listo!!!777") || right != cookie) {
        broken("the success marker or the cookie does not follow the right body", body);
    }
    if (!right && !isSentence(answer.body)) {
        broken("a refused sign-in answered something else than its sentences", answer.body);
    }
    if (w.market.calls != calls) {
        broken("a sign-in with a fresh token called the marketplace", body);
    }
}

void target(World& w, const QByteArray& target, bool post) {
    Request r;
    r.method = post ? "POST" : "GET";
    splitTarget(target, &r.path, &r.query);
    const qsizetype q = target.indexOf('?');
    if (r.path != (q < 0 ? target : target.left(q))) {
        broken("the path is not the target up to its query", target);
    }
    QList<QByteArray> parts;
    for (const auto& [key, value] : r.query) {
        if (key.contains('&') || key.contains('=') || value.contains('&')) {
            broken("a pair holds a separator", target);
        }
        parts.append(value.isNull() && !key.isEmpty() ? key : key + '=' + value);
        // Malformed escapes and NUL bytes decode to something, never past the value.
        if (percentDecode(value).size() > value.size()) {
            broken("a decoded value grew", value);
        }
        const QString text = QString::fromUtf8(value);
        for (int places = 0; places <= 3; ++places) {
            const std::optional<QString> rounded = roundPrice(text, places);
            if (!rounded) {
                continue;
            }
            static const QRegularExpression plainDecimal(QStringLiteral("^(0|[1-9][0-9]*)(\\.[0-9]*[1-9])?$"));
            const qsizetype dot = rounded->indexOf(u'.');
            if (!plainDecimal.match(*rounded).hasMatch() || *rounded == u"0" ||
                (dot >= 0 && rounded->size() - dot - 1 > places) || roundPrice(*rounded, places) != rounded) {
                broken("a rounded price is not a plain decimal above zero that rounds to itself", value);
            }
        }
    }
    if (q >= 0) {
        QList<QByteArray> expected = target.mid(q + 1).split('&');
        expected.removeAll(QByteArray());
        // A key given with an empty value ("a=") and one without ("a") differ in the text only.
        QList<QByteArray> shown;
        for (const QByteArray& part : expected) {
            shown.append(part.endsWith('=') && part.count('=') == 1 ? part.chopped(1) : part);
        }
        QList<QByteArray> rebuilt;
        for (const QByteArray& part : parts) {
            rebuilt.append(part.endsWith('=') && part.count('=') == 1 ? part.chopped(1) : part);
        }
        if (shown != rebuilt) {
            broken("the pairs do not give the query again", target);
        }
    }
    w.now += 60;
    r.now = QDateTime::fromSecsSinceEpoch(w.now, Qt::UTC);
    r.peer = QStringLiteral("192.0.2.2");
    const int calls = w.market.calls;
    const Response answer = w.gateway->handle(r);
    if (r.path != SignInPath && answer.body.contains("Listo!!!")) {
        broken("a request without a session answered the success marker", target);
    }
    if (w.market.calls != calls) {
        broken("a request without a session reached the marketplace", target);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    World& w = world();
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));
    if (data[0] % 2 == 0) {
        signIn(w, rest);
    } else {
        target(w, rest, data[0] % 4 == 3);
    }
    return 0;
}
