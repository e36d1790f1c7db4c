#include "MarketSim.h"

#include "Server.h"
#include "State.h"

#include <QFile>
#include <QMutexLocker>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <utility>

// The certificates and keys are compiled into the library; a program linking it needs no files at run time.
static void ensureTlsResources() {
    if (!QFile::exists(QStringLiteral(":/marketsim/ca.pem"))) {
        Q_INIT_RESOURCE(marketsim_tls);
    }
}

namespace sim {

namespace {

QByteArray readResource(const QString& name) {
    ensureTlsResources();
    QFile file(QStringLiteral(":/marketsim/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

}  // namespace

Answer State::answer(const Request& request, const std::optional<Fault>& fault) {
    if (api) {
        return api->answer(request);
    }
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
        return pause();
    }
    return {404, TextHtml, errorPage(404)};
}

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
    Server* server = nullptr;

    void stop() {
        if (!thread) {
            return;
        }
        if (server) {
            QMetaObject::invokeMethod(
                server, [this] { server->shutdown(); }, Qt::BlockingQueuedConnection);
        }
        thread->quit();
        thread->wait();
        delete server;
        server = nullptr;
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

bool MarketSim::serveApi(const ApiOptions& options) {
    auto api = std::make_unique<ApiDouble>(options);
    QString error;
    QMutexLocker lock(&d->state.mutex);
    if (!api->openLog(&error)) {
        d->state.error = error;
        return false;
    }
    d->state.api = std::move(api);
    return true;
}

QList<QByteArray> MarketSim::apiLog() const {
    QMutexLocker lock(&d->state.mutex);
    return d->state.api ? d->state.api->logLines() : QList<QByteArray>();
}

void MarketSim::requireSessions(bool on) {
    QMutexLocker lock(&d->state.mutex);
    d->state.sessions = on;
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
    const bool own = !options.certificate.isEmpty();
    const QList<QSslCertificate> certificates =
        own ? options.certificate : QSslCertificate::fromData(readResource(name + ".pem"), QSsl::Pem);
    const QSslKey key = own ? options.key : QSslKey(readResource(name + ".key"), QSsl::Ec, QSsl::Pem);
    if (certificates.isEmpty() || key.isNull()) {
        QMutexLocker lock(&d->state.mutex);
        d->state.error = own ? QStringLiteral("the certificate or key given is empty")
                             : QStringLiteral("the embedded certificate or key %1 cannot be read").arg(name);
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(certificates);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);

    {
        QMutexLocker lock(&d->state.mutex);
        d->state.counts.clear();
        d->state.error.clear();
        d->state.closureAlerts = 0;
        d->state.refuseItems = options.refuseItems;
        d->state.failItems = options.failItems;
        d->state.slowMs = std::max(0, options.slowMs);
    }
    d->thread = std::make_unique<QThread>();
    d->thread->setObjectName(QStringLiteral("MarketSim"));
    d->server = new Server(&d->state, std::max(0, options.roundTripMs));
    d->server->moveToThread(d->thread.get());
    d->thread->start();

    bool listening = false;
    QString error;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        d->server, [&] { listening = d->server->listen(configuration, options.port, &error, &port); },
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

int MarketSim::closureAlerts() const {
    QMutexLocker lock(&d->state.mutex);
    return d->state.closureAlerts;
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
