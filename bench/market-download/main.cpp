// The sign-in and download of a seller's listings from the marketplace simulator, by the window, beside a bare
// QNetworkAccessManager + QJsonDocument loop that fetches the same pages one after another in the same run.
// The bare loop runs twice: over a new connection for every request, and over one connection kept alive, as the
// window's channel keeps one for the pages. With --round-trip-ms the simulator delays each new connection and each
// answer by that much. Usage: bench-market-download [--round-trip-ms MS] [LISTINGS] [ROUNDS]   (default 1000 listings,
// 5 rounds, no delay)
#include "../common/StallSampler.h"
#include "CatalogueGenerator.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "Ingreso.h"
#include "SimWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSet>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

const QString User = QStringLiteral("bench");
const QString Password = QStringLiteral("bench");
const QString Seller = QStringLiteral("5550001");
// Bounds on the waits, far beyond any round trip the benchmark simulates, so that a stuck run ends.
constexpr int AnswerLimitMs = 60'000;
constexpr int DownloadLimitMs = 600'000;

// The longest time the event loop went without running, measured by a timer that asks to run every millisecond.
class Stalls : public QObject {
  public:
    void start() {
        longest_ = 0;
        clock_.start();
        last_ = 0;
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 now = clock_.nsecsElapsed();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
        timer_.start(1);
    }
    double stop() {
        timer_.stop();
        timer_.disconnect();
        return double(longest_) / 1e6;
    }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 longest_ = 0;
};

double cpuMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}
double threadCpuMs() {
    return cpuMs(CLOCK_THREAD_CPUTIME_ID);
}
// All threads: the main one, the network access manager's and the simulator's.
double processCpuMs() {
    return cpuMs(CLOCK_PROCESS_CPUTIME_ID);
}

// Paint events per widget during the download, printed when VANTORIA_BENCH_PAINTS is set.
class PaintCounter : public QObject {
  public:
    QMap<QString, int> counts;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            QString name;
            for (const QObject* named = o; named; named = named->parent())
                name = (named->objectName().isEmpty() ? QString::fromLatin1(named->metaObject()->className())
                                                      : named->objectName()) +
                       (name.isEmpty() ? QString() : QStringLiteral("/") + name);
            ++counts[name];
        }
        return false;
    }
};

struct Round {
    double cpuMs = 0;
    double processCpuMs = 0;
    double ms = 0;
    double stallMs = 0;
    int rows = 0;
};

// One sign-in and download by the window, through its own controls. The window is made once; every round signs in
// again, which empties the listing grid first.
Round window(frmVantoria& w) {
    Form& f = w.form();
    habilitoIngreso(f);
    f.Usuario->setText(User);
    f.Clave->setText(Password);
    Stalls stalls;
    stalls.start();
    QElapsedTimer t;
    t.start();
    const double cpu = threadCpuMs();
    const double processCpu = processCpuMs();
    PaintCounter paints;
    const bool countPaints = qEnvironmentVariableIsSet("VANTORIA_BENCH_PAINTS");
    if (countPaints)
        qApp->installEventFilter(&paints);
    f.Command1->click();
    sim::esperoQue([&] { return sim::ventanaQuieta(w); }, DownloadLimitMs);
    Round r;
    r.cpuMs = threadCpuMs() - cpu;
    r.processCpuMs = processCpuMs() - processCpu;
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.stallMs = stalls.stop();
    r.rows = f.Grid2->rows() - 1;
    if (countPaints) {
        qApp->removeEventFilter(&paints);
        for (auto it = paints.counts.cbegin(); it != paints.counts.cend(); ++it)
            std::printf("  paints %s: %d\n", qPrintable(it.key()), it.value());
    }
    return r;
}

// How the bare loop connects: over one connection kept alive from request to request (and from round to round), as
// the window's channel does for pages, or over a new connection for every request.
enum class Connect { KeptAlive, NewEachRequest };

// What a program without the window would do: the same requests, one after another, each answer parsed. With
// `Connection: close` the server closes after each answer, so every request makes a TCP connection and a TLS
// handshake of its own.
Round bare(QNetworkAccessManager& nam, const sim::MarketSim& server, Connect how) {
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(sim::MarketSim::caCertificates());
    const auto post = [&](const QString& url, const QByteArray& body) {
        QNetworkRequest request{QUrl(url)};
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setSslConfiguration(ssl);
        request.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
        if (how == Connect::NewEachRequest)
            request.setRawHeader("Connection", "close");
        QNetworkReply* reply = nam.post(request, body);
        if (!sim::esperoQue([&] { return reply->isFinished(); }, AnswerLimitMs))
            reply->abort();
        const QByteArray answer = reply->readAll();
        reply->deleteLater();
        return answer;
    };
    Stalls stalls;
    stalls.start();
    QElapsedTimer t;
    t.start();
    const double cpu = threadCpuMs();
    const double processCpu = processCpuMs();
    const QByteArray signIn = post(server.baseUrl() + QLatin1String(sim::PathSignIn), "fusuario=bench&fclave=bench");
    const QString seller = QString::fromUtf8(signIn).mid(8);
    QStringList ids, titles;
    for (int offset = 0;; offset += 20) {
        const QByteArray page = post(server.baseUrl() + QLatin1String(sim::PathSearch) +
                                         QStringLiteral("?limit=20&offset=%1&seller_id=%2").arg(offset).arg(seller),
                                     {});
        const QJsonObject o = QJsonDocument::fromJson(page).object();
        const double total =
            o.value(QLatin1String("paging")).toObject().value(QLatin1String("primary_results")).toDouble();
        for (const QJsonValue& v : o.value(QLatin1String("results")).toArray()) {
            ids << v.toObject().value(QLatin1String("id")).toString();
            titles << v.toObject().value(QLatin1String("title")).toString();
        }
        if (offset + 20 >= total)
            break;
    }
    Round r;
    r.cpuMs = threadCpuMs() - cpu;
    r.processCpuMs = processCpuMs() - processCpu;
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.stallMs = stalls.stop();
    r.rows = int(ids.size());
    return r;
}

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// The requests the simulator received since its log was last cleared, and on how many connections they came.
struct Wire {
    int requests = 0;
    int connections = 0;
};

Wire wire(const sim::MarketSim& server) {
    const QList<sim::Request> log = server.log();
    QSet<int> connections;
    for (const sim::Request& r : log)
        connections.insert(r.connection);
    return {int(log.size()), int(connections.size())};
}

// The figures of one way of downloading over all rounds.
struct Series {
    QList<double> ms, cpuMs, processCpuMs, stallMs;
    int rows = 0;
    Wire wire;

    void add(const Round& r, const Wire& w) {
        ms << r.ms;
        cpuMs << r.cpuMs;
        processCpuMs << r.processCpuMs;
        stallMs << r.stallMs;
        rows = r.rows;
        wire = w;
    }
};

void printRatio(const char* ourName, const char* theirName, const Series& ours, const Series& theirs) {
    QList<double> ratios;
    for (qsizetype i = 0; i < ours.ms.size(); ++i)
        ratios << ours.ms[i] / theirs.ms[i];
    std::printf("ratio %s / %s: median %.2f (rounds:", ourName, theirName, median(ratios));
    for (double r : ratios)
        std::printf(" %.2f", r);
    std::printf(")\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    int roundTripMs = 0;
    if (const qsizetype at = args.indexOf(QStringLiteral("--round-trip-ms")); at > 0) {
        roundTripMs = at + 1 < args.size() ? std::clamp(args[at + 1].toInt(), 0, 1000) : 0;
        args.remove(at, std::min<qsizetype>(2, args.size() - at));
    }
    const int listings = std::clamp(args.size() > 1 ? args[1].toInt() : 1000, 0, 100'000);
    const int rounds = std::clamp(args.size() > 2 ? args[2].toInt() : 5, 1, 1000);

    QTemporaryDir folder;
    catalogo::escribo(folder.filePath(QStringLiteral("Base de Datos.dba")), catalogo::muestra(50, 1));
    sim::MarketSim server;
    server.addAccount(User, Password, Seller);
    for (int i = 0; i < listings; ++i)
        server.addListing(Seller, {QStringLiteral("MLV%1").arg(700000000 + i),
                                   QStringLiteral("Taladro percutor inalámbrico 20 V modelo %1").arg(i), 100.0 + i});
    sim::MarketSim::Options serverOptions;
    serverOptions.roundTripMs = roundTripMs;
    if (!server.start(serverOptions)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(server.error()));
        return 1;
    }
    frmVantoria::Options o;
    o.programFolder = folder.path();
    sim::apuntoAlSimulador(o, server);
    o.carpetaDiario = folder.filePath(QStringLiteral("journal"));
    frmVantoria w(o);
    // The same window with every page on a connection of its own, as its sign-in and prices always are.
    frmVantoria::Options oFresh = o;
    oFresh.carpetaDiario = folder.filePath(QStringLiteral("journal-fresh"));
    oFresh.paginasEnUnaConexion = false;
    frmVantoria wFresh(oFresh);
    for (frmVantoria* each : {&wFresh, &w}) {
        each->show();
        each->activateWindow();
        if (!sim::esperoQue([&] { return sim::ventanaLista(*each); }, 60'000)) {
            std::fprintf(stderr, "the catalogue did not load\n");
            return 1;
        }
    }
    // Only the window being measured is on the screen.
    const auto measure = [&](frmVantoria& shown, frmVantoria& hidden) {
        hidden.hide();
        shown.show();
        shown.activateWindow();
        return window(shown);
    };
    // Each bare loop has a network access manager of its own, living as long as the window's channel does: the
    // kept-alive one keeps its connection between rounds, as it would in a program that stays open.
    stalls::Sampler sampler;  // VANTORIA_BENCH_STALLS=MS: where the stalls over MS were
    QNetworkAccessManager namNew, namKept;
    // One untimed round each, so that all three meet warm caches.
    measure(w, wFresh);
    measure(wFresh, w);
    bare(namNew, server, Connect::NewEachRequest);
    bare(namKept, server, Connect::KeptAlive);
    Series ours, oursFresh, fresh, kept;
    for (int i = 0; i < rounds; ++i) {
        server.clearLog();
        const Round a = measure(w, wFresh);
        ours.add(a, wire(server));
        server.clearLog();
        const Round d = measure(wFresh, w);
        oursFresh.add(d, wire(server));
        server.clearLog();
        const Round b = bare(namNew, server, Connect::NewEachRequest);
        fresh.add(b, wire(server));
        server.clearLog();
        const Round c = bare(namKept, server, Connect::KeptAlive);
        kept.add(c, wire(server));
    }
    std::printf("listings %d (%d pages), simulated round trip %d ms, %d rounds\n", listings,
                (listings + 19) / 20 + (listings == 0), roundTripMs, rounds);
    std::printf("rows: window %d, window new connection %d, bare new connection %d, bare kept-alive %d\n", ours.rows,
                oursFresh.rows, fresh.rows, kept.rows);
    std::printf(
        "connections / requests in the last round: window %d/%d, window new connection %d/%d, bare new connection "
        "%d/%d, bare kept-alive %d/%d\n",
        ours.wire.connections, ours.wire.requests, oursFresh.wire.connections, oursFresh.wire.requests,
        fresh.wire.connections, fresh.wire.requests, kept.wire.connections, kept.wire.requests);
    const auto worst = [](const Series& s) { return *std::max_element(s.stallMs.begin(), s.stallMs.end()); };
    std::printf("window                median %8.1f ms  (longest event-loop stall %.1f ms, worst round %.1f ms)\n",
                median(ours.ms), median(ours.stallMs), worst(ours));
    std::printf("window, new connection median %7.1f ms  (longest event-loop stall %.1f ms, worst round %.1f ms)\n",
                median(oursFresh.ms), median(oursFresh.stallMs), worst(oursFresh));
    std::printf("bare, new connection  median %8.1f ms  (longest event-loop stall %.1f ms)\n", median(fresh.ms),
                median(fresh.stallMs));
    std::printf("bare, kept-alive      median %8.1f ms  (longest event-loop stall %.1f ms)\n", median(kept.ms),
                median(kept.stallMs));
    std::printf(
        "main thread CPU: window %.1f ms, window new connection %.1f ms, bare new connection %.1f ms, bare kept-alive "
        "%.1f ms\n",
        median(ours.cpuMs), median(oursFresh.cpuMs), median(fresh.cpuMs), median(kept.cpuMs));
    std::printf(
        "process CPU (simulator included): window %.1f ms, window new connection %.1f ms, bare new connection %.1f "
        "ms, bare kept-alive %.1f ms\n",
        median(ours.processCpuMs), median(oursFresh.processCpuMs), median(fresh.processCpuMs),
        median(kept.processCpuMs));
    printRatio("window", "bare kept-alive", ours, kept);
    printRatio("window new connection", "bare new connection", oursFresh, fresh);
    printRatio("window", "bare new connection", ours, fresh);
    return 0;
}
