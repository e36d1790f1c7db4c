// The sign-in and download of a seller's listings from the marketplace simulator, by the window, beside a bare
// QNetworkAccessManager + QJsonDocument loop that fetches the same pages one after another in the same run.
// Usage: bench-market-download [LISTINGS] [ROUNDS]   (default 1000 listings, 5 rounds)
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

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
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
    PaintCounter paints;
    const bool countPaints = qEnvironmentVariableIsSet("VANTORIA_BENCH_PAINTS");
    if (countPaints)
        qApp->installEventFilter(&paints);
    f.Command1->click();
    sim::esperoQue([&] { return sim::ventanaQuieta(w); });
    Round r;
    r.cpuMs = threadCpuMs() - cpu;
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

// What a program without the window would do: the same requests, one after another, each answer parsed. Its network
// access manager lives as long as the window's channel does, so both keep their connection between rounds.
Round bare(QNetworkAccessManager& nam, const sim::MarketSim& server) {
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(sim::MarketSim::caCertificates());
    const auto post = [&](const QString& url, const QByteArray& body) {
        QNetworkRequest request{QUrl(url)};
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setSslConfiguration(ssl);
        request.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
        QNetworkReply* reply = nam.post(request, body);
        sim::esperoQue([&] { return reply->isFinished(); });
        const QByteArray answer = reply->readAll();
        reply->deleteLater();
        return answer;
    };
    Stalls stalls;
    stalls.start();
    QElapsedTimer t;
    t.start();
    const double cpu = threadCpuMs();
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
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.stallMs = stalls.stop();
    r.rows = int(ids.size());
    return r;
}

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int listings = args.size() > 1 ? args[1].toInt() : 1000;
    const int rounds = std::max(1, args.size() > 2 ? args[2].toInt() : 5);

    QTemporaryDir folder;
    catalogo::escribo(folder.filePath(QStringLiteral("Base de Datos.dba")), catalogo::muestra(50, 1));
    sim::MarketSim server;
    server.addAccount(User, Password, Seller);
    for (int i = 0; i < listings; ++i)
        server.addListing(Seller, {QStringLiteral("MLV%1").arg(700000000 + i),
                                   QStringLiteral("Taladro percutor inalámbrico 20 V modelo %1").arg(i), 100.0 + i});
    if (!server.start()) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(server.error()));
        return 1;
    }
    frmVantoria::Options o;
    o.programFolder = folder.path();
    sim::apuntoAlSimulador(o, server);
    frmVantoria w(o);
    w.show();
    w.activateWindow();
    if (!sim::esperoQue([&] { return sim::ventanaLista(w); }, 60'000)) {
        std::fprintf(stderr, "the catalogue did not load\n");
        return 1;
    }
    // One untimed round each, so that both meet warm caches.
    window(w);
    QNetworkAccessManager nam;
    bare(nam, server);
    QList<double> ours, theirs, ratios, stalls, theirStalls, cpuOurs, cpuTheirs;
    int rows = 0, peerRows = 0;
    for (int i = 0; i < rounds; ++i) {
        const Round a = window(w);
        const Round b = bare(nam, server);
        ours << a.ms;
        cpuOurs << a.cpuMs;
        cpuTheirs << b.cpuMs;
        theirs << b.ms;
        ratios << a.ms / b.ms;
        stalls << a.stallMs;
        theirStalls << b.stallMs;
        rows = a.rows;
        peerRows = b.rows;
    }
    std::printf("listings %d (%d pages), rows: window %d, bare loop %d\n", listings,
                (listings + 19) / 20 + (listings == 0), rows, peerRows);
    std::printf("window      median %8.1f ms  (longest event-loop stall %.1f ms, worst round %.1f ms)\n", median(ours),
                median(stalls), *std::max_element(stalls.begin(), stalls.end()));
    std::printf("bare loop   median %8.1f ms  (longest event-loop stall %.1f ms)\n", median(theirs),
                median(theirStalls));
    std::printf("main thread CPU: window %.1f ms, bare loop %.1f ms\n", median(cpuOurs), median(cpuTheirs));
    std::printf("ratio window / bare loop: median %.2f (rounds:", median(ratios));
    for (double r : ratios)
        std::printf(" %.2f", r);
    std::printf(")\n");
    return 0;
}
