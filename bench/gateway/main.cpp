// What the gateway adds to a price request and to a listing page, beside the marketplace calls it makes, measured
// in-process against the tests' stand-in of the marketplace (no network), and what a sign-in costs.
#include "FakeMarketplace.h"
#include "Gateway.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace gateway;

namespace {

class NoWaitClock final : public Clock {
  public:
    qint64 steadyMs() override { return 0; }
    void sleepMs(qint64) override {}
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

Request post(const QByteArray& path, const QByteArray& query, const QByteArray& body, const QByteArray& cookie) {
    Request r;
    r.method = "POST";
    r.path = path;
    r.query = splitQuery(query);
    r.body = body;
    if (!cookie.isEmpty()) {
        r.headers.append({"cookie", cookie});
    }
    r.now = QDateTime::currentDateTimeUtc();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 500;
    if (!initSecrets() || rounds < 1) {
        return 1;
    }
    QTemporaryDir dir;
    Store store(dir.filePath("gateway.sqlite"));
    if (!store.open()) {
        return 1;
    }
    FakeMarketplace market;
    market.addItems("777", 1000);
    NoWaitClock clock;
    Sealer sealer(QByteArray(32, 'k'));
    const PasswordCost cost = PasswordCost::interactive();
    store.addAccount("tienda", hashPassword("clave", cost));
    store.setSeller("tienda", "777");
    store.saveTokens("777", sealer.seal(market.access), sealer.seal(market.refresh),
                     QDateTime::currentSecsSinceEpoch() + 6 * 3600);
    Gateway gateway(store, market, clock, sealer,
                    {{"app", "secreto", "https://pasarela.example/oauth/callback"},
                     "https://auth.example/authorization",
                     "https://pasarela.example",
                     cost,
                     20000});

    std::vector<double> signIns;
    QByteArray cookie;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer t;
        t.start();
        const Response r = gateway.handle(post(SignInPath, {}, "fusuario=tienda&fclave=clave", {}));
        signIns.push_back(t.nsecsElapsed() / 1e6);
        for (const auto& [name, value] : r.headers) {
            if (name == "Set-Cookie") {
                cookie = value.left(value.indexOf(';'));
            }
        }
    }

    // Ours: the whole price request. Peer: the two marketplace calls it makes (read the item, PUT the price), alone.
    std::vector<double> ours;
    std::vector<double> peer;
    for (int i = 0; i < rounds + 20; ++i) {
        const QByteArray item = "MLV" + QByteArray::number(700000000 + i % 1000);
        const QByteArray price = QByteArray::number(100 + i);
        QElapsedTimer t;
        t.start();
        const Response r =
            gateway.handle(post(PricePath, "men=480613&item_id=" + item + "&precio_item=" + price, {}, cookie));
        const double gatewayMs = t.nsecsElapsed() / 1e6;
        t.restart();
        market.send({"GET",
                     "/items/" + item + "?attributes=id,seller_id,status,currency_id,price,variations",
                     market.access,
                     {},
                     {},
                     10000});
        market.send({"PUT", "/items/" + item, market.access, "{\"price\":" + price + "}", "application/json", 10000});
        const double directMs = t.nsecsElapsed() / 1e6;
        if (r.body != texts::PriceSet) {
            std::fprintf(stderr, "price refused: %s\n", r.body.constData());
            return 1;
        }
        if (i >= 20) {
            ours.push_back(gatewayMs);
            peer.push_back(directMs);
        }
    }
    std::vector<double> added(ours.size());
    for (size_t i = 0; i < ours.size(); ++i) {
        added[i] = ours[i] - peer[i];
    }

    // Listing pages: the 50 pages of 20 of a 1,000-listing shop, the first one taking the snapshot.
    std::vector<double> downloads;
    for (int round = 0; round < 20; ++round) {
        QElapsedTimer t;
        t.start();
        for (int offset = 0; offset < 1000; offset += 20) {
            const Response r = gateway.handle(
                post(SearchPath, "limit=20&offset=" + QByteArray::number(offset) + "&seller_id=777", {}, cookie));
            if (!r.body.startsWith("{\"paging\":{\"total\":1000")) {
                std::fprintf(stderr, "page refused: %s\n", r.body.constData());
                return 1;
            }
        }
        downloads.push_back(t.nsecsElapsed() / 1e6);
    }
    const double download = percentile(downloads, 0.5);
    std::printf("sign-in (argon2id, %llu passes, %zu MiB): median %.1f ms\n", cost.ops, cost.memory >> 20,
                percentile(signIns, 0.5));
    std::printf(
        "price request, %d rounds: gateway %.3f ms median, %.3f ms p99; marketplace calls alone %.3f ms "
        "median, %.3f ms p99; added %.3f ms median, %.3f ms p99\n",
        rounds, percentile(ours, 0.5), percentile(ours, 0.99), percentile(peer, 0.5), percentile(peer, 0.99),
        percentile(added, 0.5), percentile(added, 0.99));
    std::printf("1,000 listings in 50 pages: median %.1f ms, %.0f pages a second\n", download, 50 / (download / 1000));
    return 0;
}
