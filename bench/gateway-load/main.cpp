// N shops at the window's pace against the real gateway and the real marketplace double, both on 127.0.0.1: each
// signs in, downloads its listing pages, then pushes one price a second with the window's pause before every 30th.
// Per request it takes the time the shop waited and, from the gateway's Server-Timing header, the time the gateway
// waited on the marketplace; the difference is what the gateway added. Also the gateway's memory and the load average.
#include "ChildProcess.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <signal.h>

namespace {

using Clock = std::chrono::steady_clock;

const char Seller[] = "123456789";
const char SignInPath[] = "/mercadolibre/ml00000316_LogeandoEspecial.php";
const char PricePath[] = "/mercadolibre/ml00000102_meliGet.php";
const char PausePath[] = "/mercadolibre/ml00000319_Blank.php";
const char Form[] = "application/x-www-form-urlencoded";

struct Options {
    std::vector<int> shops{10, 100, 500};
    double speed = 1;        // the window's waits divided by this
    int prices = 60;         // per shop
    int items = 40;          // the seller's listings: two pages of 20
    double rampSeconds = 0;  // the shops start spread over this long; 0: all at once
    int searchUpTo = 0;      // then step N up by half until the price p99 passes 250 ms, at most this many shops
};

enum Kind { SignIn, Page, Price, Pause, Kinds };
const char* const KindNames[] = {"sign-in", "listing page", "price", "pause"};

struct Sample {
    Kind kind;
    double totalMs;   // as the shop waited
    double marketMs;  // what the gateway waited on the double, from its Server-Timing header
    bool ok;
    Clock::time_point end;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

long rssKiB(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(static_cast<qsizetype>(strlen(field))).trimmed().split(' ').value(0).toLong();
        }
    }
    return 0;
}

QByteArray loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').mid(0, 3).join(' ') : QByteArray("?");
}

double serverTimingMs(const httplib::Result& r) {
    const std::string v = r->get_header_value("Server-Timing");
    const size_t at = v.find("dur=");
    return at == std::string::npos ? 0 : std::stod(v.substr(at + 4));
}

class Bench {
  public:
    explicit Bench(Options o) : o_(std::move(o)) {}
    int run();
    int measure();

  private:
    bool start();
    bool addShops(int upTo);
    bool link(const QString& url);
    void shop(int k, Clock::time_point at, std::vector<Sample>& out);
    double phase(int n);

    Options o_;
    QTemporaryDir dir_;
    QString ini_;
    QProcess api_;
    QProcess gateway_;
    quint16 apiPort_ = 0;
    quint16 port_ = 0;
    int accounts_ = 0;
    long long confirmed_ = 0;
};

bool Bench::start() {
    api_.setStandardErrorFile(dir_.filePath("api.err"));
    api_.start(MARKET_SIM, {"--role", "api", "--port", "0", "--seller", Seller, "--items", QString::number(o_.items),
                            "--client-id", "app-1", "--client-secret", "secreto", "--log", dir_.filePath("api.log")});
    const QString base = sim::firstLine(api_, 20'000);
    if (!base.startsWith("https://127.0.0.1:")) {
        std::fprintf(stderr, "the double did not start: %s\n", qPrintable(base));
        return false;
    }
    apiPort_ = static_cast<quint16>(base.mid(base.lastIndexOf(u':') + 1).toUInt());
    port_ = sim::freePort();
    QFile secret(dir_.filePath("secret.txt"));
    secret.open(QIODevice::WriteOnly);
    secret.write("secreto\n");
    secret.close();
    ini_ = dir_.filePath("gateway.ini");
    QFile ini(ini_);
    ini.open(QIODevice::WriteOnly);
    ini.write(
        QStringLiteral("[server]\nlisten = 127.0.0.1:%1\n[marketplace]\napi_url = %2\nauth_url = %2/authorization\n"
                       "client_id = app-1\nclient_secret_file = secret.txt\n"
                       "redirect_uri = http://127.0.0.1:%1/oauth/callback\nextra_ca = " TLS_DIR "/ca.pem\n"
                       "[store]\ndatabase = gateway.sqlite\nkey_file = gateway.key\n")
            .arg(port_)
            .arg(base)
            .toUtf8());
    ini.close();
    gateway_.setStandardErrorFile(dir_.filePath("gateway.err"));
    gateway_.start(VANTORIA_GATEWAY, {"--config", ini_, "serve"});
    const QString listening = sim::firstLine(gateway_, 20'000);
    if (listening != QStringLiteral("Escuchando en http://127.0.0.1:%1").arg(port_)) {
        std::fprintf(stderr, "the gateway did not start: %s\n", qPrintable(listening));
        return false;
    }
    return true;
}

// The one-time link as a browser follows it: the gateway's page, the double's form sent, the gateway's callback.
bool Bench::link(const QString& url) {
    httplib::Client gw("127.0.0.1", port_);
    gw.set_read_timeout(30, 0);
    const auto page = gw.Get(QUrl(url).path().toStdString());
    if (!page || page->status != 302) {
        std::fprintf(stderr, "link page: %d\n", page ? page->status : -1);
        return false;
    }
    const QUrl form(QString::fromStdString(page->get_header_value("Location")));
    httplib::SSLClient api("127.0.0.1", apiPort_);
    api.set_ca_cert_path(TLS_DIR "/ca.pem");
    api.enable_server_certificate_verification(true);
    api.set_read_timeout(30, 0);
    httplib::Params fields;
    for (const auto& [name, value] : QUrlQuery(form).queryItems(QUrl::FullyDecoded)) {
        fields.emplace(name.toStdString(), value.toStdString());
    }
    fields.emplace("user_id", Seller);
    const auto sent = api.Post("/authorization", fields);
    if (!sent || sent->status != 302) {
        std::fprintf(stderr, "authorization form: %d\n", sent ? sent->status : -1);
        return false;
    }
    const QUrl back(QString::fromStdString(sent->get_header_value("Location")));
    const auto linked = gw.Get((back.path() + "?" + back.query(QUrl::FullyEncoded)).toStdString());
    if (!linked || linked->status != 200 || linked->body.find("Cuenta vinculada") == std::string::npos) {
        std::fprintf(stderr, "callback: %d %s\n", linked ? linked->status : -1, linked ? linked->body.c_str() : "");
        return false;
    }
    return true;
}

// Accounts tienda0 .. tienda<upTo - 1>, each created by the gateway's own command and linked through its pages.
bool Bench::addShops(int upTo) {
    const auto t0 = Clock::now();
    std::atomic<int> next{accounts_};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
        workers.emplace_back([&] {
            for (int k; !failed && (k = next++) < upTo;) {
                const sim::Fin fin =
                    sim::run(VANTORIA_GATEWAY, {"--config", ini_, "account", "add", QStringLiteral("tienda%1").arg(k)},
                             QStringLiteral("clave%1\n").arg(k).toUtf8());
                const QString url = QString::fromUtf8(fin.salida).trimmed();
                if (fin.codigo != 0 || !link(url)) {
                    std::fprintf(stderr, "tienda%d could not be linked (%s)\n", k, qPrintable(url));
                    failed = true;
                }
            }
        });
    }
    for (std::thread& t : workers) {
        t.join();
    }
    if (failed) {
        return false;
    }
    std::printf("accounts tienda%d..tienda%d created and linked in %.1f s\n", accounts_, upTo - 1,
                std::chrono::duration<double>(Clock::now() - t0).count());
    accounts_ = upTo;
    return true;
}

void Bench::shop(int k, Clock::time_point at, std::vector<Sample>& out) {
    std::this_thread::sleep_until(at);
    httplib::Client gw("127.0.0.1", port_);
    gw.set_connection_timeout(30, 0);
    gw.set_read_timeout(60, 0);
    httplib::Headers cookie;
    // The window opens a connection for each request and never reuses one that carried an answer.
    const auto call = [&](Kind kind, const std::string& target, const std::string& body,
                          const std::string& wanted) -> httplib::Result {
        const auto t = Clock::now();
        httplib::Result r = gw.Post(target, cookie, body, Form);
        const auto end = Clock::now();
        const bool ok = r && r->status == 200 && r->body.rfind(wanted, 0) == 0;
        static std::atomic<int> told{0};
        if (!ok && told++ < 5) {
            std::fprintf(
                stderr, "%s refused: %s\n", KindNames[kind],
                r ? (std::to_string(r->status) + " " + r->body).c_str() : httplib::to_string(r.error()).c_str());
        }
        out.push_back(
            {kind, std::chrono::duration<double, std::milli>(end - t).count(), r ? serverTimingMs(r) : 0, ok, end});
        return r;
    };
    const auto r = call(SignIn, SignInPath, QStringLiteral("fusuario=tienda%1&fclave=clave%1").arg(k).toStdString(),
                        std::string("Listo!!!") + Seller);
    if (!r || r->body != std::string("Listo!!!") + Seller) {
        return;
    }
    const std::string setCookie = r->get_header_value("Set-Cookie");
    cookie.emplace("Cookie", setCookie.substr(0, setCookie.find(';')));
    for (int offset = 0; offset < o_.items; offset += 20) {
        call(Page, "/sites/MLV/search?limit=20&offset=" + std::to_string(offset) + "&seller_id=" + Seller, "",
             "{\"paging\":{\"total\":" + std::to_string(o_.items));
    }
    const auto wait = [&](double ms) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(1000 * ms / o_.speed)));
    };
    for (int j = 0; j < o_.prices; ++j) {
        if (j > 0 && j % 30 == 0) {
            // The window's rest before every 30th price: the pause request, then two seconds.
            call(Pause, PausePath, "", "");
            wait(2000);
        }
        const auto t = Clock::now();
        const std::string item = "MLV" + std::to_string(700000000 + (k * 7 + j) % o_.items);
        const std::string price = std::to_string(100 + (k + j) % 900) + "." + std::to_string(j % 100);
        call(Price, std::string(PricePath) + "?men=480613&item_id=" + item + "&precio_item=" + price, "",
             "Listo!!! Precio actualizado.");
        std::this_thread::sleep_until(t + std::chrono::microseconds(static_cast<long long>(1e6 / o_.speed)));
    }
}

// One run of n shops; returns the price requests' added 99th percentile.
double Bench::phase(int n) {
    if (n > accounts_ && !addShops(n)) {
        return -1;
    }
    const QByteArray loadBefore = loadAverage();
    const long hwmBefore = rssKiB(gateway_.processId(), "VmHWM:");
    std::vector<std::vector<Sample>> samples(static_cast<size_t>(n));
    std::atomic<bool> running{true};
    long rssPeak = 0;
    std::thread sampler([&] {
        while (running) {
            rssPeak = std::max(rssPeak, rssKiB(gateway_.processId(), "VmRSS:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const auto t0 = Clock::now() + std::chrono::milliseconds(200);
    std::vector<std::thread> shops;
    for (int k = 0; k < n; ++k) {
        const auto at = t0 + std::chrono::microseconds(static_cast<long long>(1e6 * o_.rampSeconds * k / n));
        shops.emplace_back([this, k, at, &samples] { shop(k, at, samples[static_cast<size_t>(k)]); });
    }
    for (std::thread& t : shops) {
        t.join();
    }
    running = false;
    sampler.join();
    Clock::time_point last = t0;
    std::vector<double> total[Kinds], market[Kinds], added[Kinds], allAdded;
    int failures[Kinds] = {};
    size_t count = 0;
    for (const auto& shopSamples : samples) {
        for (const Sample& s : shopSamples) {
            last = std::max(last, s.end);
            ++count;
            if (!s.ok) {
                ++failures[s.kind];
                continue;
            }
            total[s.kind].push_back(s.totalMs);
            market[s.kind].push_back(s.marketMs);
            added[s.kind].push_back(s.totalMs - s.marketMs);
            allAdded.push_back(s.totalMs - s.marketMs);
        }
    }
    confirmed_ += static_cast<long long>(total[Price].size());
    const double seconds = std::chrono::duration<double>(last - t0).count();
    std::printf(
        "\n%d shops, speed x%g, %d prices each, start spread over %g s: %zu requests in %.1f s, %.1f a "
        "second; gateway RSS peak %.1f MiB (high-water mark %.1f MiB, %.1f before); load average %s -> %s\n",
        n, o_.speed, o_.prices, o_.rampSeconds, count, seconds, static_cast<double>(count) / seconds,
        static_cast<double>(rssPeak) / 1024, rssKiB(gateway_.processId(), "VmHWM:") / 1024.0,
        static_cast<double>(hwmBefore) / 1024, loadBefore.constData(), loadAverage().constData());
    std::printf("  %-13s %6s %5s | %9s %9s | %9s %9s | %9s %9s\n", "request", "count", "fail", "total p50", "total p99",
                "double p50", "p99", "added p50", "added p99");
    for (int k = 0; k < Kinds; ++k) {
        std::printf("  %-13s %6zu %5d | %9.2f %9.2f | %9.2f %9.2f | %9.2f %9.2f\n", KindNames[k],
                    total[k].size() + static_cast<size_t>(failures[k]), failures[k], percentile(total[k], 0.5),
                    percentile(total[k], 0.99), percentile(market[k], 0.5), percentile(market[k], 0.99),
                    percentile(added[k], 0.5), percentile(added[k], 0.99));
    }
    std::printf("  %-13s %6zu %5s | %9s %9s | %9s %9s | %9.2f %9.2f\n", "all", allAdded.size(), "", "", "", "", "",
                percentile(allAdded, 0.5), percentile(allAdded, 0.99));
    std::fflush(stdout);
    return failures[Price] > 0 ? 1e9 : percentile(added[Price], 0.99);
}

int Bench::run() {
    const int code = measure();
    sim::stop(gateway_, 15'000);
    sim::stop(api_, 15'000);
    return code;
}

int Bench::measure() {
    if (qEnvironmentVariableIsSet("LOAD_KEEP")) {
        // The programs' logs and store stay behind for a look.
        dir_.setAutoRemove(false);
        std::printf("files in %s\n", qPrintable(dir_.path()));
    }
    if (!start()) {
        return 1;
    }
    std::printf(
        "gateway on 127.0.0.1:%u (plain HTTP), double on https://127.0.0.1:%u, %d listings; machine load "
        "average %s\n",
        port_, apiPort_, o_.items, loadAverage().constData());
    int last = 0;
    double p99 = 0;
    for (int n : o_.shops) {
        p99 = phase(n);
        if (p99 < 0) {
            return 1;
        }
        last = n;
    }
    while (o_.searchUpTo > last && p99 <= 250) {
        last = std::min(o_.searchUpTo, last + last / 2);
        p99 = phase(last);
        if (p99 < 0) {
            return 1;
        }
    }
    if (o_.searchUpTo > 0) {
        std::printf("\nprice p99 added %s 250 ms at %d shops\n", p99 > 250 ? "passed" : "stayed under", last);
    }
    // The double's log: a price confirmed to a shop is a price the double applied, once.
    QFile log(dir_.filePath("api.log"));
    long long applied = 0;
    long long grants = 0;
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : log.readAll().split('\n')) {
            applied += line.contains("\"method\":\"PUT\"") && line.contains("\"status\":200");
            grants += line.contains("\"grant_type\"");
        }
    }
    std::printf("prices confirmed to the shops: %lld; applied by the double (its log): %lld; token grants: %lld\n",
                confirmed_, applied, grants);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        const QString& name = args[i];
        const QString& value = args[i + 1];
        if (name == u"--shops") {
            o.shops.clear();
            for (const QString& n : value.split(u',')) {
                o.shops.push_back(n.toInt());
            }
        } else if (name == u"--speed") {
            o.speed = value.toDouble();
        } else if (name == u"--prices") {
            o.prices = value.toInt();
        } else if (name == u"--items") {
            o.items = value.toInt();
        } else if (name == u"--ramp") {
            o.rampSeconds = value.toDouble();
        } else if (name == u"--search-up-to") {
            o.searchUpTo = value.toInt();
        } else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(name));
            return 2;
        }
    }
    if (args.size() % 2 != 0 || o.speed <= 0 || o.prices < 0 || o.items < 1 ||
        std::any_of(o.shops.begin(), o.shops.end(), [](int n) { return n < 1 || n > 5000; })) {
        std::fprintf(stderr,
                     "usage: bench-gateway-load [--shops 10,100,500] [--speed F] [--prices P] [--items M] "
                     "[--ramp SECONDS] [--search-up-to N]\n");
        return 2;
    }
    Bench bench(o);
    return bench.run();
}
