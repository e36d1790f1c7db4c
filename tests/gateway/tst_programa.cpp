// The gateway as a process: settings, commands, serving, and its libcurl client against an HTTPS stand-in of the
// marketplace's API on 127.0.0.1.
#include "PostgresServer.h"

#include "ChildProcess.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include "Gateway.h"

namespace texts = gateway::texts;

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Just enough of the API for one shop with three listings.
class StandInApi {
  public:
    StandInApi(const char* cert, const char* key) : server(cert, key) {
        server.Post("/oauth/token", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            const std::string grant = req.get_param_value("grant_type");
            const QByteArray verifier = QByteArray::fromStdString(req.get_param_value("code_verifier"));
            const QByteArray challenge = QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                                             .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
            const bool ok = req.get_param_value("client_secret") == "secreto" &&
                            ((grant == "authorization_code" && req.get_param_value("code") == "code-1" &&
                              challenge == expectedChallenge) ||
                             (grant == "refresh_token" && req.get_param_value("refresh_token") == refresh));
            if (!ok) {
                res.status = 400;
                res.set_content(R"({"message":"invalid","error":"invalid_grant","status":400,"cause":[]})",
                                "application/json");
                return;
            }
            ++issued;
            access = "APP_USR-acceso-" + std::to_string(issued);
            refresh = "TG-renovacion-" + std::to_string(issued);
            res.set_content(R"({"access_token":")" + access + R"(","expires_in":21600,"user_id":777,)" +
                                R"("scope":"offline_access read write","refresh_token":")" + refresh + "\"}",
                            "application/json");
        });
        const auto authorized = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            if (access.empty() || req.get_header_value("Authorization") != "Bearer " + access) {
                res.status = 401;
                res.set_content(R"({"message":"invalid token","error":"unauthorized","status":401})",
                                "application/json");
                return false;
            }
            return true;
        };
        server.Get("/users/me", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                res.set_content(R"({"id":777,"nickname":"TIENDA"})", "application/json");
            }
        });
        server.Get("/users/777/items/search", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                res.set_content(R"({"paging":{"total":3,"offset":0,"limit":100},"results":["MLV1","MLV2","MLV3"]})",
                                "application/json");
            }
        });
        server.Get("/items", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (!authorized(req, res)) {
                return;
            }
            std::string out = "[";
            std::string ids = req.get_param_value("ids") + ",";
            for (size_t at = 0, comma; (comma = ids.find(',', at)) != std::string::npos; at = comma + 1) {
                out += (out.size() > 1 ? "," : "") + std::string(R"({"code":200,"body":)") +
                       item(ids.substr(at, comma - at)) + "}";
            }
            res.set_content(out + "]", "application/json");
        });
        server.Get(R"(/items/(MLV\d+))", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                res.set_content(item(req.matches[1]), "application/json");
            }
        });
        server.Put(R"(/items/(MLV\d+))", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                ++putsStarted;
                std::this_thread::sleep_for(std::chrono::milliseconds(putDelayMs.load()));
                std::lock_guard lock(mutex);
                puts.push_back(req.matches[1].str() + " " + req.body);
                price = req.body.substr(req.body.find(':') + 1);
                price.pop_back();
                res.set_content(item(req.matches[1]), "application/json");
            }
        });
        server.Get("/currencies/VES", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"id":"VES","decimal_places":2})", "application/json");
        });
        server.set_tcp_nodelay(true);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~StandInApi() {
        server.stop();
        thread.join();
    }
    std::string item(const std::string& id) {
        return R"({"id":")" + id + R"(","title":"Producto )" + id + R"(","seller_id":777,"price":)" + price +
               R"(,"currency_id":"VES","status":"active","permalink":"https://articulo.example/)" + id + "\"}";
    }

    httplib::SSLServer server;
    int port = -1;
    std::thread thread;
    std::mutex mutex;
    std::string access;
    std::string refresh;
    int issued = 0;
    std::string price = "10";
    QByteArray expectedChallenge;
    std::vector<std::string> puts;
    std::atomic<int> putDelayMs{0};
    std::atomic<int> putsStarted{0};
};

struct Setup {
    QTemporaryDir dir;
    QString ini;
    void write(const QByteArray& server, int apiPort, bool extraCa = true, const QByteArray& marketplace = {},
               const QByteArray& store = "database = gateway.sqlite\nkey_file = gateway.key\n") {
        QFile secret(dir.filePath("secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("secreto\n");
        secret.close();
        ini = dir.filePath("gateway.ini");
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[server]\n" + server + "\n[marketplace]\napi_url = https://127.0.0.1:" + QByteArray::number(apiPort) +
                "\nauth_url = https://127.0.0.1:" + QByteArray::number(apiPort) +
                "/authorization\nclient_id = app-1\nclient_secret_file = secret.txt\n"
                "redirect_uri = https://pasarela.example/oauth/callback\n" +
                (extraCa ? QByteArray("extra_ca = " TLS_DIR "/ca.pem\n") : QByteArray()) + marketplace + "[store]\n" +
                store);
    }
    // Runs a command to its end; returns standard output.
    QByteArray run(const QStringList& args, const QByteArray& input = {}, int* code = nullptr,
                   QByteArray* err = nullptr) {
        sim::Fin fin = sim::run(VANTORIA_GATEWAY, QStringList{"--config", ini} + args, input);
        if (code) {
            *code = fin.codigo;
        }
        if (err) {
            *err = fin.errores;
        }
        return fin.salida;
    }
    // Starts `serve` and waits for its one line.
    QString serve(QProcess& p) {
        p.start(VANTORIA_GATEWAY, {"--config", ini, "serve"});
        return sim::firstLine(p);
    }
    static int stop(QProcess& p) { return sim::stop(p); }
};

// The marketplace's API double (market-sim --role api) as a process of its own, and what its log says it did.
struct Double {
    QProcess process;
    QString logFile;
    int port = -1;

    bool start(const QString& dir, const QStringList& extra) {
        logFile = dir + "/api.log";
        process.start(MARKET_SIM, QStringList{"--role", "api", "--port", "0", "--items", "5", "--client-id", "app-1",
                                              "--client-secret", "secreto", "--log", logFile} +
                                      extra);
        const QRegularExpressionMatch m =
            QRegularExpression("^https://127\\.0\\.0\\.1:(\\d+)$").match(sim::firstLine(process));
        port = m.hasMatch() ? m.captured(1).toInt() : -1;
        return port > 0;
    }
    void stop() { sim::stop(process, 5000); }
    ~Double() { stop(); }
    QList<QJsonObject> lines() const {
        QFile f(logFile);
        QList<QJsonObject> out;
        if (f.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : f.readAll().split('\n')) {
                if (!line.isEmpty()) {
                    out.append(QJsonDocument::fromJson(line).object());
                }
            }
        }
        return out;
    }
    // "ITEM=PRICE" for every price the double applied, in order.
    QStringList applied() const {
        QStringList out;
        for (const QJsonObject& l : lines()) {
            if (l["method"].toString() == u"PUT" && l.contains("price")) {
                out.append(l["item"].toString() + u'=' + QString::number(l["price"].toDouble()));
            }
        }
        return out;
    }
    // The statuses of the calls of `method` on paths starting with `path` (and of `grant`, for the token).
    QList<int> statuses(const QString& method, const QString& path, const QString& grant = {}) const {
        QList<int> out;
        for (const QJsonObject& l : lines()) {
            if (l["method"].toString() == method && l["path"].toString().startsWith(path) &&
                (grant.isEmpty() || l["grant_type"].toString() == grant)) {
                out.append(l["status"].toInt());
            }
        }
        return out;
    }
    bool waitFor(const QString& method, const QString& path, int count, const QString& grant = {}) const {
        for (int i = 0; i < 500; ++i) {
            if (statuses(method, path, grant).size() >= count) {
                return true;
            }
            QTest::qWait(10);
        }
        return false;
    }
    std::unique_ptr<httplib::SSLClient> client() const {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
        c->set_ca_cert_path(TLS_DIR "/ca.pem");
        c->enable_server_certificate_verification(true);
        c->set_read_timeout(10, 0);
        return c;
    }
    bool control(const char* path) const { return client()->Post(path, "", "text/plain") != nullptr; }
};

// One raw exchange with a server on 127.0.0.1: the bytes sent, in pieces `gapMs` apart when given, and what came back
// until the server closed (or `waitMs` passed).
struct Raw {
    int status = 0;
    QByteArray body;
    QByteArray all;
    qint64 closedAfterMs = -1;  // from the last byte sent to the server's close
};

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Raw exchange(int port, const QByteArray& bytes, int waitMs = 10000, int pieceSize = 0, int gapMs = 0) {
    Raw r;
    const int fd = connectTo(port);
    if (fd < 0) {
        return r;
    }
    const int piece = pieceSize > 0 ? pieceSize : static_cast<int>(bytes.size());
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        if (::send(fd, bytes.constData() + at, static_cast<size_t>(std::min<qsizetype>(piece, bytes.size() - at)),
                   MSG_NOSIGNAL) < 0) {
            break;
        }
        if (gapMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        }
    }
    QElapsedTimer sent;
    sent.start();
    char buffer[65536];
    while (sent.elapsed() < waitMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            r.closedAfterMs = sent.elapsed();
            break;
        }
        r.all.append(buffer, n);
    }
    ::close(fd);
    const QRegularExpressionMatch m = QRegularExpression("^HTTP/1\\.[01] (\\d{3})").match(QString::fromLatin1(r.all));
    r.status = m.hasMatch() ? m.captured(1).toInt() : 0;
    const qsizetype head = r.all.indexOf("\r\n\r\n");
    r.body = head < 0 ? QByteArray() : r.all.mid(head + 4);
    return r;
}

QByteArray post(const QByteArray& target, const QByteArray& body, const QByteArray& headers = {}) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
           headers + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// The double, the gateway serving plain HTTP on 127.0.0.1 with its own store, and the account "tienda".
struct Chain {
    Setup s;
    Double api;
    QProcess gateway;
    int port = -1;
    QByteArray link;
    QByteArray cookie;

    bool start(const QStringList& apiArgs, const QByteArray& marketplace = {}, const QByteArray& store = {}) {
        if (!api.start(s.dir.path(), apiArgs)) {
            return false;
        }
        if (store.isEmpty()) {
            s.write("listen = 127.0.0.1:0", api.port, true, marketplace);
        } else {
            s.write("listen = 127.0.0.1:0", api.port, true, marketplace, store);
        }
        link = s.run({"account", "add", "tienda"}, "clave1\n").trimmed();
        return link.startsWith("https://pasarela.example/vincular/") && serve();
    }
    bool serve() {
        const QRegularExpressionMatch m =
            QRegularExpression("^Escuchando en http://127\\.0\\.0\\.1:(\\d+)$").match(s.serve(gateway));
        port = m.hasMatch() ? m.captured(1).toInt() : -1;
        return port > 0;
    }
    int stop() { return gateway.state() == QProcess::NotRunning ? 0 : sim::stop(gateway); }
    void kill9() {
        sim::signal(gateway, SIGKILL);
        gateway.waitForFinished(5000);
    }
    ~Chain() {
        if (gateway.state() != QProcess::NotRunning) {
            gateway.kill();
            gateway.waitForFinished();
        }
    }
    std::unique_ptr<httplib::Client> client() const {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
        c->set_read_timeout(30, 0);
        return c;
    }
    // Opens the link page: the state it sent the browser to the marketplace with, and the marketplace's code for it.
    struct Authorized {
        QString state;
        QString code;
    };
    Authorized authorize(const QByteArray& linkUrl) {
        const auto page = client()->Get(linkUrl.mid(strlen("https://pasarela.example")).toStdString());
        if (!page || page->status != 302) {
            return {};
        }
        const QUrl location(QString::fromStdString(page->get_header_value("Location")));
        QUrlQuery form(location.query());
        form.addQueryItem("user_id", "123456789");
        const auto granted = api.client()->Post("/authorization", form.toString(QUrl::FullyEncoded).toStdString(),
                                                "application/x-www-form-urlencoded");
        if (!granted || granted->status != 302) {
            return {};
        }
        const QUrlQuery back(QUrl(QString::fromStdString(granted->get_header_value("Location"))).query());
        return {QUrlQuery(location.query()).queryItemValue("state", QUrl::FullyEncoded),
                back.queryItemValue("code", QUrl::FullyEncoded)};
    }
    // The callback's status and page.
    std::pair<int, std::string> callback(const Authorized& a) {
        const auto r = client()->Get(("/oauth/callback?code=" + a.code + "&state=" + a.state).toStdString());
        return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
    }
    bool linkAccount(const QByteArray& linkUrl = {}) {
        return callback(authorize(linkUrl.isEmpty() ? link : linkUrl)).first == 200;
    }
    std::string signIn(const std::string& body = "fusuario=tienda&fclave=clave1",
                       const httplib::Headers& headers = {}) {
        const auto r = client()->Post(SignInTarget, headers, body, "application/x-www-form-urlencoded");
        if (!r) {
            return "no answer";
        }
        const std::string set = r->get_header_value("Set-Cookie");
        if (!set.empty()) {
            cookie = QByteArray::fromStdString(set.substr(0, set.find(';')));
        }
        return r->body;
    }
    std::string price(const QByteArray& item, const QByteArray& price) {
        const auto r = client()->Post(
            ("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=" + item + "&precio_item=" + price).toStdString(),
            httplib::Headers{{"Cookie", cookie.toStdString()}}, "", "application/x-www-form-urlencoded");
        return r ? r->body : std::string("no answer");
    }
    static constexpr char SignInTarget[] = "/mercadolibre/ml00000316_LogeandoEspecial.php";
};

}  // namespace

class tst_Programa : public QObject {
    Q_OBJECT

  private slots:
    void wholeChainFromLinkToPriceChange();
    void servesHttpsWithItsCertificate();
    void badSettingStopsWithOneLine_data();
    void badSettingStopsWithOneLine();
    void marketplaceWithAnUntrustedCertificateIsNotUsed();
    void twoGatewaysOnOnePostgresqlShareShopsAndTheRefresh();
    void faultsEndCleanly_data();
    void faultsEndCleanly();
};

void tst_Programa::wholeChainFromLinkToPriceChange() {
    StandInApi api(TLS_DIR "/server.pem", TLS_DIR "/server.key");
    QVERIFY(api.port > 0);
    Setup s;
    s.write("listen = 127.0.0.1:0", api.port);
    int code = 0;
    const QByteArray link = s.run({"account", "add", "tienda"}, "clave1\n", &code).trimmed();
    QCOMPARE(code, 0);
    QVERIFY2(link.startsWith("https://pasarela.example/vincular/"), link.constData());

    QProcess server;
    const QString listening = s.serve(server);
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en http://127\\.0\\.0\\.1:(\\d+)$").match(listening);
    QVERIFY2(m.hasMatch(), qPrintable(listening));
    httplib::Client client("127.0.0.1", m.captured(1).toInt());
    client.set_read_timeout(30, 0);

    const auto page = client.Get(link.mid(strlen("https://pasarela.example")).toStdString());
    QVERIFY(page);
    QCOMPARE(page->status, 302);
    const QUrlQuery query(QUrl(QString::fromStdString(page->get_header_value("Location"))));
    api.expectedChallenge = query.queryItemValue("code_challenge").toUtf8();
    const auto linked =
        client.Get(("/oauth/callback?code=code-1&state=" + query.queryItemValue("state")).toStdString());
    QVERIFY(linked);
    QCOMPARE(linked->status, 200);
    QVERIFY(linked->body.find("<h1>Cuenta vinculada</h1>") != std::string::npos);

    const auto signIn = client.Post("/mercadolibre/ml00000316_LogeandoEspecial.php", "fusuario=tienda&fclave=clave1",
                                    "application/x-www-form-urlencoded");
    QVERIFY(signIn);
    QCOMPARE(signIn->body, std::string("Listo!!!777"));
    const std::string setCookie = signIn->get_header_value("Set-Cookie");
    const httplib::Headers cookie{{"Cookie", setCookie.substr(0, setCookie.find(';'))}};

    const auto search = client.Post("/sites/MLV/search?limit=20&offset=0&seller_id=777", cookie, "",
                                    "application/x-www-form-urlencoded");
    QVERIFY(search);
    QVERIFY2(search->body.rfind(
                 R"({"paging":{"total":3,"primary_results":3,"offset":0,"limit":20},"results":[{"id":"MLV1")", 0) == 0,
             search->body.c_str());
    const auto price = client.Post("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV2&precio_item=1234.567",
                                   cookie, "", "application/x-www-form-urlencoded");
    QVERIFY(price);
    QCOMPARE(price->body, std::string("Listo!!! Precio actualizado."));
    // What the request waited on the marketplace: two calls, so more than nothing.
    const std::string timing = price->get_header_value("Server-Timing");
    QVERIFY2(timing.rfind("mercado;dur=", 0) == 0 && std::stod(timing.substr(12)) > 0, timing.c_str());
    QCOMPARE(api.puts, std::vector<std::string>{R"(MLV2 {"price":1234.57})"});
    const auto pause = client.Post("/mercadolibre/ml00000319_Blank.php", "", "application/x-www-form-urlencoded");
    QVERIFY(pause);
    QCOMPARE(pause->status, 200);
    QCOMPARE(pause->body, std::string());

    // SIGTERM while a price is being changed: the answer still arrives, then the program ends with 0.
    api.putDelayMs = 1500;
    std::string inFlight;
    std::thread late([&] {
        httplib::Client other("127.0.0.1", m.captured(1).toInt());
        other.set_read_timeout(30, 0);
        const auto r = other.Post("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV3&precio_item=7", cookie,
                                  "", "application/x-www-form-urlencoded");
        inFlight = r ? r->body : "no answer";
    });
    for (int i = 0; i < 500 && api.putsStarted < 2; ++i) {
        QTest::qWait(10);
    }
    QCOMPARE(api.putsStarted.load(), 2);
    QCOMPARE(Setup::stop(server), 0);
    late.join();
    QCOMPARE(inFlight, std::string("Listo!!! Precio actualizado."));
    const QByteArray log = server.readAllStandardError();
    QVERIFY(log.contains("POST /mercadolibre/ml00000102_meliGet.php -> 200"));
    const QByteArray audit = s.run({"audit", "--csv"});
    QVERIFY2(audit.contains(",tienda,777,MLV2,1234.567,1234.57,Listo!!! Precio actualizado.,200\n"), audit.constData());
    const QByteArray accounts = s.run({"account", "list"});
    QVERIFY2(accounts.contains("tienda\t777\tsí\t"), accounts.constData());
    QCOMPARE(s.run({"audit", "--seller", "778"}),
             QByteArray(
                 "hora\tusuario\tvendedor\tpublicacion\tprecio_pedido\tprecio_aplicado\tresultado\testado_mercado\n"));
    QCOMPARE(s.run({"account", "password", "nadie"}, "otra\n", &code), QByteArray());
    QCOMPARE(code, 1);
    s.run({"account", "password", "tienda"}, "otra\n", &code);
    QCOMPARE(code, 0);
    QByteArray files = log + audit + accounts;
    for (const char* name : {"gateway.sqlite", "gateway.sqlite-wal"}) {
        QFile f(s.dir.filePath(name));
        if (f.open(QIODevice::ReadOnly)) {
            files += f.readAll();
        }
    }
    for (const std::string& secret : {api.access, api.refresh, std::string("APP_USR-acceso-1"),
                                      std::string("TG-renovacion-1"), std::string("clave1")}) {
        QVERIFY2(!files.contains(QByteArray::fromStdString(secret)), secret.c_str());
    }
    s.run({"account", "remove", "tienda"}, {}, &code);
    QCOMPARE(code, 0);
    QCOMPARE(s.run({"account", "list"}), QByteArray("usuario\tvendedor\tvinculada\tvence\tbloqueada\n"));
}

void tst_Programa::servesHttpsWithItsCertificate() {
    Setup s;
    s.write("listen = 127.0.0.1:0\ncertificate = " TLS_DIR "/server.pem\nkey = " TLS_DIR "/server.key", 9);
    QProcess server;
    const QString listening = s.serve(server);
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en https://127\\.0\\.0\\.1:(\\d+)$").match(listening);
    QVERIFY2(m.hasMatch(), qPrintable(listening));
    httplib::SSLClient client("127.0.0.1", m.captured(1).toInt());
    client.set_ca_cert_path(TLS_DIR "/ca.pem");
    client.enable_server_certificate_verification(true);
    const auto pause = client.Post("/mercadolibre/ml00000319_Blank.php", "", "application/x-www-form-urlencoded");
    QVERIFY(pause);
    QCOMPARE(pause->status, 200);
    QCOMPARE(Setup::stop(server), 0);
}

void tst_Programa::badSettingStopsWithOneLine_data() {
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QString>("line");
    QTest::newRow("plain HTTP on every address")
        << QByteArray("listen = 0.0.0.0:0")
        << "gateway.ini: [server] listen: sin certificate ni key solo se escucha en una dirección local (127.0.0.1)";
    QTest::newRow("key without certificate") << QByteArray("listen = 127.0.0.1:0\nkey = " TLS_DIR "/server.key")
                                             << "gateway.ini: [server] certificate: certificate y key van juntos";
    QTest::newRow("certificate that is not one")
        << QByteArray("listen = 127.0.0.1:0\ncertificate = secret.txt\nkey = secret.txt")
        << "gateway.ini: [server] certificate: no se pudo cargar secret.txt con secret.txt";
}

void tst_Programa::badSettingStopsWithOneLine() {
    QFETCH(QByteArray, server);
    QFETCH(QString, line);
    Setup s;
    s.write(server, 9);
    int code = 0;
    QByteArray err;
    const QByteArray out = s.run({"serve"}, {}, &code, &err);
    QCOMPARE(code, 2);
    QCOMPARE(out, QByteArray());
    QCOMPARE(QString::fromUtf8(err).replace(s.dir.path() + u'/', QString()), line + u'\n');
}

void tst_Programa::marketplaceWithAnUntrustedCertificateIsNotUsed() {
    StandInApi api(TLS_DIR "/stranger.pem", TLS_DIR "/stranger.key");
    Setup s;
    s.write("listen = 127.0.0.1:0", api.port);
    const QByteArray link = s.run({"account", "add", "tienda"}, "clave1\n").trimmed();
    QProcess server;
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en http://127\\.0\\.0\\.1:(\\d+)$").match(s.serve(server));
    QVERIFY(m.hasMatch());
    httplib::Client client("127.0.0.1", m.captured(1).toInt());
    const auto page = client.Get(link.mid(strlen("https://pasarela.example")).toStdString());
    QVERIFY(page);
    const QUrlQuery query(QUrl(QString::fromStdString(page->get_header_value("Location"))));
    api.expectedChallenge = query.queryItemValue("code_challenge").toUtf8();
    const auto linked =
        client.Get(("/oauth/callback?code=code-1&state=" + query.queryItemValue("state")).toStdString());
    QVERIFY(linked);
    QCOMPARE(linked->status, 502);
    QCOMPARE(api.issued, 0);
    QCOMPARE(Setup::stop(server), 0);
}

namespace {

// `market-sim --role api` with its log, for one seller 777 with `items` listings.
struct ApiDouble {
    QProcess process;
    int port = 0;
    QString log;
    ApiDouble(const QString& logFile, int items) : log(logFile) {
        process.start(MARKET_SIM, {"--role", "api", "--port", "0", "--seller", "777", "--items", QString::number(items),
                                   "--client-id", "app-1", "--client-secret", "secreto", "--log", logFile});
        const QString base = sim::firstLine(process);
        if (base.startsWith("https://127.0.0.1:")) {
            port = base.mid(base.lastIndexOf(u':') + 1).toInt();
        }
    }
    ~ApiDouble() { sim::stop(process); }
    std::unique_ptr<httplib::SSLClient> client() const {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
        c->set_ca_cert_path(TLS_DIR "/ca.pem");
        c->enable_server_certificate_verification(true);
        return c;
    }
    QList<QByteArray> lines(const QByteArray& with) const {
        QFile f(log);
        QList<QByteArray> out;
        if (f.open(QIODevice::ReadOnly)) {
            for (const QByteArray& l : f.readAll().split('\n')) {
                if (l.contains(with)) {
                    out.append(l);
                }
            }
        }
        return out;
    }
};

int portOf(const QString& listening) {
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en http://127\\.0\\.0\\.1:(\\d+)$").match(listening);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

}  // namespace

// A shop linked on the SQLite store, copied to PostgreSQL, then served by two gateway processes on that database
// taking requests in turn: the session of one works on the other, a burst right after the access tokens died
// spends the refresh token once, and a restart of PostgreSQL costs only the requests made while it was down.
void tst_Programa::twoGatewaysOnOnePostgresqlShareShopsAndTheRefresh() {
    if (PostgresServer::binaries().isEmpty()) {
        // CI installs it and says so: there a missing server is a failure, not a skip.
        if (qEnvironmentVariableIsSet("VANTORIA_REQUIRE_POSTGRESQL")) {
            QFAIL("PostgreSQL is not installed (/usr/lib/postgresql/*/bin)");
        }
        QSKIP("PostgreSQL is not installed (/usr/lib/postgresql/*/bin)");
    }
    PostgresServer pg;
    QString error;
    QVERIFY2(pg.start(&error), qPrintable(error));
    const QString url = pg.createDatabase();
    QVERIFY(!url.isEmpty());
    Setup s;
    ApiDouble api(s.dir.filePath("api.log"), 40);
    QVERIFY(api.port > 0);
    s.write("listen = 127.0.0.1:0", api.port);
    const QByteArray link = s.run({"account", "add", "tienda"}, "clave1\n").trimmed();
    QVERIFY2(link.startsWith("https://pasarela.example/vincular/"), link.constData());
    {
        // Linked through the double's authorization form, on the SQLite store.
        QProcess one;
        const int port = portOf(s.serve(one));
        QVERIFY(port > 0);
        httplib::Client gateway("127.0.0.1", port);
        const auto page = gateway.Get(link.mid(strlen("https://pasarela.example")).toStdString());
        QVERIFY(page && page->status == 302);
        const QUrl authorize(QString::fromStdString(page->get_header_value("Location")));
        QUrlQuery form(authorize);
        form.addQueryItem("user_id", "777");
        const auto granted = api.client()->Post("/authorization", form.query(QUrl::FullyEncoded).toStdString(),
                                                "application/x-www-form-urlencoded");
        QVERIFY(granted && granted->status == 302);
        const QUrl back(QString::fromStdString(granted->get_header_value("Location")));
        const auto linked = gateway.Get(("/oauth/callback?" + back.query(QUrl::FullyEncoded)).toStdString());
        QVERIFY(linked);
        QVERIFY2(linked->body.find("Cuenta vinculada") != std::string::npos, linked->body.c_str());
        QCOMPARE(Setup::stop(one), 0);
    }

    // The same settings but the store.
    QFile sqliteIni(s.ini);
    QVERIFY(sqliteIni.open(QIODevice::ReadOnly));
    const QByteArray settings =
        sqliteIni.readAll().replace("database = gateway.sqlite", "database = " + pg.url(url).toUtf8());
    s.ini = s.dir.filePath("gateway-pg.ini");
    QFile pgIni(s.ini);
    QVERIFY(pgIni.open(QIODevice::WriteOnly));
    pgIni.write(settings);
    pgIni.close();
    int code = -1;
    QByteArray err;
    const QByteArray copied = s.run({"store", "copy", "--from", s.dir.filePath("gateway.sqlite")}, {}, &code, &err);
    QCOMPARE(code, 0);
    QVERIFY2(copied.contains("\naccounts: 1\nsellers: 1\n"), copied.constData());
    // The password of the database is not shown.
    QVERIFY(!copied.contains(PostgresServer::Password) && !copied.contains("clave%20de"));
    QVERIFY2(s.run({"account", "list"}).contains("tienda\t777\tsí\t"), err.constData());

    QProcess one;
    QProcess two;
    const int ports[] = {portOf(s.serve(one)), portOf(s.serve(two))};
    QVERIFY(ports[0] > 0 && ports[1] > 0 && ports[0] != ports[1]);
    const auto send = [&](int turn, const std::string& path, const httplib::Headers& headers, const std::string& body) {
        httplib::Client c("127.0.0.1", ports[turn % 2]);
        c.set_read_timeout(30, 0);
        const auto r = c.Post(path, headers, body, "application/x-www-form-urlencoded");
        return r ? r->body : std::string("no answer");
    };
    httplib::Client first("127.0.0.1", ports[0]);
    const auto signIn = first.Post("/mercadolibre/ml00000316_LogeandoEspecial.php", "fusuario=tienda&fclave=clave1",
                                   "application/x-www-form-urlencoded");
    QVERIFY(signIn);
    QCOMPARE(signIn->body, std::string("Listo!!!777"));
    const std::string setCookie = signIn->get_header_value("Set-Cookie");
    const httplib::Headers cookie{{"Cookie", setCookie.substr(0, setCookie.find(';'))}};
    QVERIFY(send(1, "/sites/MLV/search?limit=20&offset=0&seller_id=777", cookie, "")
                .rfind(R"({"paging":{"total":40,"primary_results":40,"offset":0,"limit":20})", 0) == 0);

    QVERIFY(api.client()->Post("/_sim/expire", "", "application/json"));
    const qsizetype grantsBefore = api.lines("\"grant_type\":\"refresh_token\"").size();
    QElapsedTimer burst;
    burst.start();
    std::vector<std::string> answers(40);
    std::vector<std::thread> threads;
    for (int i = 0; i < 40; ++i) {
        threads.emplace_back([&, i] {
            answers[i] = send(i,
                              "/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV7000000" +
                                  std::to_string(100 + i).substr(1) + "&precio_item=" + std::to_string(100 + i),
                              cookie, "");
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    qInfo("40 prices over two gateways on PostgreSQL, one refresh among them: %lld ms", burst.elapsed());
    QCOMPARE(answers, std::vector<std::string>(40, "Listo!!! Precio actualizado."));
    const QList<QByteArray> grants = api.lines("\"grant_type\":\"refresh_token\"");
    QCOMPARE(grants.size() - grantsBefore, 1);
    QVERIFY(grants.last().contains("\"status\":200"));
    QList<QByteArray> applied = api.lines("\"price\":");
    QCOMPARE(applied.size(), 40);
    QSet<QByteArray> items;
    for (const QByteArray& l : applied) {
        items.insert(l.mid(l.indexOf("\"item\":"), 23));
    }
    QCOMPARE(items.size(), 40);

    // PostgreSQL restarts: while it is down a price fails with a sentence and nothing is applied; once it is back
    // both gateways answer again without being restarted.
    const std::string price = "/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV700000000&precio_item=";
    pg.stop();
    for (int turn = 0; turn < 2; ++turn) {
        QCOMPARE(QString::fromStdString(send(turn, price + "77", cookie, "")),
                 QStringLiteral("La pasarela no pudo leer sus datos. Intente de nuevo en unos minutos."));
    }
    QVERIFY2(pg.resume(&error), qPrintable(error));
    for (int turn = 0; turn < 4; ++turn) {
        QCOMPARE(send(turn, price + std::to_string(80 + turn), cookie, ""),
                 std::string("Listo!!! Precio actualizado."));
    }
    applied = api.lines("\"price\":");
    QCOMPARE(applied.size(), 44);
    QVERIFY(api.lines("\"price\":77").isEmpty());
    QCOMPARE(Setup::stop(one), 0);
    QCOMPARE(Setup::stop(two), 0);
    const QByteArray audit = s.run({"audit", "--csv"});
    QCOMPARE(audit.count("Listo!!! Precio actualizado."), 44);
}

// Each fault or attack against the real gateway and the marketplace's double; what was applied is read from the
// double's log.
void tst_Programa::faultsEndCleanly_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("apiArgs");
    QTest::addColumn<QByteArray>("marketplace");  // more lines of the gateway's [marketplace]
    const QStringList none;
    // The marketplace
    QTest::newRow("marketplace refuses connections") << "refused" << none << QByteArray();
    QTest::newRow("one 503, the retry applies")
        << "5xx once" << QStringList{"--fail-status", "503:1:PUT"} << QByteArray();
    QTest::newRow("a burst of 502") << "5xx burst" << QStringList{"--fail-status", "502:3:PUT"} << QByteArray();
    QTest::newRow("PUT answered after the gateway's time-out")
        << "slow" << QStringList{"--slow", "1500:PUT"} << QByteArray("timeout = 1\n");
    QTest::newRow("429 for a minute") << "429 minute" << QStringList{"--fail-for", "429:60000:PUT"} << QByteArray();
    QTest::newRow("429 for a second and a half")
        << "429 short" << QStringList{"--fail-for", "429:1500:PUT"} << QByteArray();
    QTest::newRow("tokens revoked mid-batch") << "revoked" << none << QByteArray();
    // The gateway itself
    QTest::newRow("SIGTERM mid-batch") << "sigterm" << QStringList{"--slow", "1500:PUT"} << QByteArray();
    QTest::newRow("kill -9 after the marketplace issued a new pair")
        << "kill refresh" << QStringList{"--token-seconds", "1800", "--slow", "1000:POST"} << QByteArray();
    QTest::newRow("kill -9 mid-PUT after a refresh") << "kill put" << QStringList{"--slow", "1500:PUT"} << QByteArray();
    QTest::newRow("store locked by another writer") << "locked" << none << QByteArray();
    QTest::newRow("store's disk full") << "disk full" << none << QByteArray();
    QTest::newRow("key file missing") << "key missing" << none << QByteArray();
    QTest::newRow("key file of another store") << "key wrong" << none << QByteArray();
    QTest::newRow("key file readable by others") << "key open" << none << QByteArray();
    // Callers
    QTest::newRow("sign-in body of 1 MB") << "big body" << none << QByteArray();
    QTest::newRow("query of 1 MB") << "big query" << none << QByteArray();
    QTest::newRow("10,000 headers") << "headers" << none << QByteArray();
    QTest::newRow("slow headers") << "slowloris" << none << QByteArray();
    QTest::newRow("1,000 idle connections") << "idle" << none << QByteArray();
    QTest::newRow("malformed escapes and NUL bytes") << "escapes" << none << QByteArray();
    QTest::newRow("wrong passwords from one address") << "address" << none << QByteArray();
    QTest::newRow("callback with a forged state") << "forged state" << none << QByteArray();
    QTest::newRow("callback replayed") << "replayed state" << none << QByteArray();
    QTest::newRow("link used twice") << "link twice" << none << QByteArray();
}

void tst_Programa::faultsEndCleanly() {
    QFETCH(QString, fault);
    QFETCH(QStringList, apiArgs);
    QFETCH(QByteArray, marketplace);
    using std::string;
    const string priceSet = "Listo!!! Precio actualizado.";
    const string signedIn = "Listo!!!123456789";
    Chain c;
    QByteArray store;
    QString mount;
    if (fault == u"disk full") {
        // A small file system of its own, so that filling it touches nothing else.
        mount = c.s.dir.filePath("pequeno");
        QDir().mkpath(mount);
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mount}) != 0) {
            QSKIP("a tmpfs cannot be mounted here (needs root)");
        }
        store = "database = " + mount.toUtf8() + "/gateway.sqlite\nkey_file = " + mount.toUtf8() + "/gateway.key\n";
    }
    const auto unmount = qScopeGuard([&] {
        if (!mount.isEmpty()) {
            c.stop();
            QProcess::execute("umount", {mount});
        }
    });
    QVERIFY(c.start(apiArgs, marketplace, store));
    const bool linksLater = fault.endsWith(u"state") || fault == u"link twice";
    if (!linksLater) {
        QVERIFY(c.linkAccount());
    }
    if (!linksLater && fault != u"kill refresh") {
        QCOMPARE(c.signIn(), signedIn);
    }
    const auto oneLine = [&](const QString& why) {
        QCOMPARE(c.stop(), 0);
        int code = 0;
        QByteArray err;
        QCOMPARE(c.s.run({"serve"}, {}, &code, &err), QByteArray());
        QCOMPARE(code, 2);
        QCOMPARE(QString::fromUtf8(err),
                 QStringLiteral("%1: [store] key_file: %2: %3\n").arg(c.s.ini, c.s.dir.filePath("gateway.key"), why));
    };
    QElapsedTimer timer;
    timer.start();
    QElapsedTimer whole;
    whole.start();

    if (fault == u"refused") {
        c.api.stop();
        QCOMPARE(c.price("MLV700000000", "12"), string(texts::MarketDown));
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(c.api.applied(), QStringList());
    } else if (fault == u"5xx once") {
        QCOMPARE(c.price("MLV700000000", "12"), priceSet);
        QCOMPARE(c.api.statuses("PUT", "/items/"), (QList<int>{503, 200}));
        QCOMPARE(c.api.applied(), QStringList{"MLV700000000=12"});
    } else if (fault == u"5xx burst") {
        QCOMPARE(c.price("MLV700000000", "12"), string(texts::MarketDown));
        QCOMPARE(c.api.statuses("PUT", "/items/"), (QList<int>{502, 502}));
        QCOMPARE(c.api.applied(), QStringList());
    } else if (fault == u"slow") {
        // The double applies the price and answers late; the gateway reads the item back instead of sending it again.
        QCOMPARE(c.price("MLV700000000", "12"), priceSet);
        QVERIFY(timer.elapsed() < 3000);
        QCOMPARE(c.api.statuses("PUT", "/items/").size(), 1);
        QCOMPARE(c.api.applied(), QStringList{"MLV700000000=12"});
    } else if (fault == u"429 minute") {
        QCOMPARE(c.price("MLV700000000", "12"), string(texts::RateLimited));
        QVERIFY2(timer.elapsed() >= 14000 && timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(c.api.statuses("PUT", "/items/"), (QList<int>{429, 429, 429, 429}));
        QCOMPARE(c.api.applied(), QStringList());
    } else if (fault == u"429 short") {
        QCOMPARE(c.price("MLV700000000", "12"), priceSet);
        QVERIFY(timer.elapsed() >= 2000 && timer.elapsed() < 4000);
        QCOMPARE(c.api.statuses("PUT", "/items/"), (QList<int>{429, 200}));
        QCOMPARE(c.api.applied(), QStringList{"MLV700000000=12"});
    } else if (fault == u"revoked") {
        QCOMPARE(c.price("MLV700000000", "11"), priceSet);
        QVERIFY(c.api.control("/_sim/revoke"));
        QCOMPARE(c.price("MLV700000001", "12"), string(texts::Relink));
        QCOMPARE(c.price("MLV700000002", "13"), string(texts::Relink));
        // The dead refresh token was tried once; the second item did not try it again.
        QCOMPARE(c.api.statuses("POST", "/oauth/token", "refresh_token"), QList<int>{400});
        QCOMPARE(c.signIn(), string(texts::Relink));
        QCOMPARE(c.s.run({"account", "list"}).split('\n').value(1).split('\t').value(2), QByteArray("vencida"));
        QVERIFY(c.linkAccount(c.s.run({"account", "link", "tienda"}).trimmed()));
        QCOMPARE(c.signIn(), signedIn);
        QCOMPARE(c.price("MLV700000001", "12"), priceSet);
        QCOMPARE(c.api.applied(), (QStringList{"MLV700000000=11", "MLV700000001=12"}));
    } else if (fault == u"sigterm") {
        QCOMPARE(c.price("MLV700000000", "11"), priceSet);
        string inFlight;
        std::thread second([&] { inFlight = c.price("MLV700000001", "12"); });
        QVERIFY(c.api.waitFor("PUT", "/items/MLV700000001", 1));
        QCOMPARE(c.stop(), 0);
        second.join();
        QCOMPARE(inFlight, priceSet);
        // The third item of the batch finds no gateway: no answer, so the window cannot read "Listo!!!".
        QCOMPARE(c.price("MLV700000002", "13"), string("no answer"));
        QCOMPARE(c.api.applied(), (QStringList{"MLV700000000=11", "MLV700000001=12"}));
        QVERIFY(c.s.run({"audit", "--csv"}).contains(",MLV700000001,12,12,Listo!!! Precio actualizado.,200\n"));
    } else if (fault == u"kill refresh") {
        // Tokens of 30 minutes: the sign-in refreshes at once, and the double answers that refresh a second late.
        string lost;
        std::thread signIn([&] { lost = c.signIn(); });
        QVERIFY(c.api.waitFor("POST", "/oauth/token", 1, "refresh_token"));
        c.kill9();
        signIn.join();
        QCOMPARE(lost, string("no answer"));
        // The double spent the old refresh token; the new one never reached the store. The next start says so at
        // once (the dead process's lock is not waited out) and asks for a new link; nothing loops.
        QVERIFY(c.serve());
        timer.restart();
        QCOMPARE(c.signIn(), string(texts::Relink));
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(c.api.statuses("POST", "/oauth/token", "refresh_token"), (QList<int>{200, 400}));
        QVERIFY(c.linkAccount(c.s.run({"account", "link", "tienda"}).trimmed()));
        QCOMPARE(c.signIn(), signedIn);
        QCOMPARE(c.price("MLV700000000", "12"), priceSet);
        QCOMPARE(c.api.applied(), QStringList{"MLV700000000=12"});
    } else if (fault == u"kill put") {
        QVERIFY(c.api.control("/_sim/expire"));
        std::thread first([&] { c.price("MLV700000000", "11"); });
        QVERIFY(c.api.waitFor("PUT", "/items/MLV700000000", 1));
        c.kill9();
        first.join();
        // The refreshed pair was committed before it was used: the next start signs in and changes prices with it.
        QVERIFY(c.serve());
        QCOMPARE(c.signIn(), signedIn);
        QCOMPARE(c.price("MLV700000001", "12"), priceSet);
        QCOMPARE(c.api.statuses("POST", "/oauth/token", "refresh_token"), QList<int>{200});
        QCOMPARE(c.api.applied(), (QStringList{"MLV700000000=11", "MLV700000001=12"}));
        // The request the kill cut short is in the audit as never finished.
        const QByteArray audit = c.s.run({"audit", "--csv"});
        QVERIFY2(audit.contains(",MLV700000000,11,,En curso,0\n"), audit.constData());
    } else if (fault == u"locked") {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "otro");
        db.setDatabaseName(c.s.dir.filePath("gateway.sqlite"));
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec("BEGIN EXCLUSIVE"));
        QCOMPARE(c.price("MLV700000000", "12"), string(texts::StoreDown));
        QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(QSqlQuery(db).exec("ROLLBACK"));
        db.close();
        QCOMPARE(c.price("MLV700000001", "13"), priceSet);
        QCOMPARE(c.api.applied(), QStringList{"MLV700000001=13"});
        const QByteArray audit = c.s.run({"audit", "--csv"});
        QCOMPARE(audit.count('\n'), 2);
    } else if (fault == u"disk full") {
        {
            QFile filler(mount + "/relleno");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(4096, 'x');
            for (int i = 0; i < 1000 && filler.write(block) == block.size() && filler.flush(); ++i) {
            }
        }
        QCOMPARE(c.price("MLV700000000", "12"), string(texts::StoreDown));
        QCOMPARE(c.signIn(), string(texts::StoreDown));
        QCOMPARE(c.api.applied(), QStringList());
        QVERIFY(QFile::remove(mount + "/relleno"));
        QCOMPARE(c.price("MLV700000001", "13"), priceSet);
        QCOMPARE(c.api.applied(), QStringList{"MLV700000001=13"});
        const QByteArray audit = c.s.run({"audit", "--csv"});
        QCOMPARE(audit.count('\n'), 2);
        QVERIFY(audit.endsWith(",MLV700000001,13,13,Listo!!! Precio actualizado.,200\n"));
    } else if (fault == u"key missing") {
        QVERIFY(QFile::remove(c.s.dir.filePath("gateway.key")));
        oneLine("falta, y el almacén guarda datos sellados con ella; restáurela de la copia de seguridad");
        QVERIFY(!QFile::exists(c.s.dir.filePath("gateway.key")));
    } else if (fault == u"key wrong") {
        QFile key(c.s.dir.filePath("gateway.key"));
        QVERIFY(key.open(QIODevice::WriteOnly | QIODevice::Truncate));
        key.write(QByteArray(64, 'a') + '\n');
        key.close();
        oneLine("no abre los datos sellados del almacén; es otra clave");
    } else if (fault == u"key open") {
        QVERIFY(QFile::setPermissions(c.s.dir.filePath("gateway.key"),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        oneLine("otros usuarios pueden leerla; déjela solo para su dueño (chmod 600)");
    } else if (fault == u"big body") {
        const Raw r = exchange(c.port, post(Chain::SignInTarget, "fusuario=tienda&fclave=" + QByteArray(1 << 20, 'a')));
        QCOMPARE(r.status, 413);
        QCOMPARE(c.signIn(), signedIn);
    } else if (fault == u"big query") {
        const Raw r = exchange(c.port, post("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV700000000&"
                                            "precio_item=1" +
                                                QByteArray(1 << 20, '0'),
                                            {}, "Cookie: " + c.cookie + "\r\n"));
        QCOMPARE(r.status, 414);
        QCOMPARE(c.api.applied(), QStringList());
    } else if (fault == u"headers") {
        QByteArray headers;
        for (int i = 0; i < 10000; ++i) {
            headers += "X-Relleno-" + QByteArray::number(i) + ": a\r\n";
        }
        const Raw r = exchange(c.port, post(Chain::SignInTarget, "fusuario=tienda&fclave=clave1", headers));
        QCOMPARE(r.status, 431);
        QVERIFY(!r.body.contains("Listo!!!"));
        QCOMPARE(c.signIn(), signedIn);
    } else if (fault == u"slowloris") {
        // A header a byte every 20 ms for a second, then nothing: 5 s after the last byte the gateway answers 400
        // and hangs up, and serves others meanwhile.
        Raw slow;
        std::thread drip([&] {
            slow =
                exchange(c.port, "POST /mercadolibre/ml00000316_LogeandoEspecial.php HTTP/1.1\r\nHost:", 10000, 1, 20);
        });
        QTest::qWait(300);
        QElapsedTimer meanwhile;
        meanwhile.start();
        QCOMPARE(c.signIn(), signedIn);
        QVERIFY(meanwhile.elapsed() < 2000);
        drip.join();
        QCOMPARE(slow.status, 400);
        QVERIFY(!slow.body.contains("Listo!!!"));
        qInfo("slow headers: answered 400 and closed %lld ms after the last byte", slow.closedAfterMs);
        QVERIFY2(slow.closedAfterMs >= 4500 && slow.closedAfterMs < 7000,
                 qPrintable(QString::number(slow.closedAfterMs)));
    } else if (fault == u"idle") {
        // A thousand descriptors of the test's own: more than a shell's usual 1,024 leaves room for.
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
        }
        std::vector<int> idle;
        for (int i = 0; i < 1000; ++i) {
            const int fd = connectTo(c.port);
            QVERIFY(fd >= 0);
            idle.push_back(fd);
        }
        QElapsedTimer meanwhile;
        meanwhile.start();
        QCOMPARE(c.signIn(), signedIn);
        const qint64 signInMs = meanwhile.elapsed();
        QFile status(QStringLiteral("/proc/%1/status").arg(c.gateway.processId()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const int threads =
            QRegularExpression("Threads:\\s+(\\d+)").match(QString::fromLatin1(status.readAll())).captured(1).toInt();
        for (const int fd : idle) {
            ::close(fd);
        }
        QVERIFY2(signInMs < 3000, qPrintable(QString::number(signInMs)));
        QVERIFY2(threads > 0 && threads <= 512 + 8, qPrintable(QString::number(threads)));
        QCOMPARE(c.signIn(), signedIn);
        qInfo("1,000 idle connections: sign-in in %lld ms, %d threads", signInMs, threads);
    } else if (fault == u"escapes") {
        const QByteArray cookie = "Cookie: " + c.cookie + "\r\n";
        const QByteArray price = "/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=";
        const QList<std::pair<QByteArray, QByteArray>> cases{
            {post(Chain::SignInTarget, QByteArray("fusuario=tienda\0&fclave=clave1", 30)), texts::WrongCredentials},
            {post(Chain::SignInTarget, QByteArray("fusuario=tienda&fclave=clave1\0", 30)), texts::WrongCredentials},
            // The window percent-encodes what the operator typed: an escape is read as the character it stands for.
            {post(Chain::SignInTarget, "fusuario=%74ienda&fclave=clave1"), QByteArray(signedIn.c_str())},
            {post(Chain::SignInTarget, "fusuario=%zz&fclave=%"), texts::WrongCredentials},
            {post(price + "MLV700000000%00&precio_item=12", {}, cookie), texts::NotFound},
            {post(price + "MLV700000000&precio_item=1%2e5", {}, cookie), texts::BadPrice},
            {post(price + "MLV700000000&precio_item=12%zz", {}, cookie), texts::BadPrice},
            {post(price + "MLV70000000%", {}, cookie), texts::NotFound},
        };
        for (const auto& [request, answer] : cases) {
            const Raw r = exchange(c.port, request);
            QVERIFY2(r.status == 200 && r.body == answer, (request.toPercentEncoding() + " -> " + r.all).constData());
        }
        // A NUL or a bad escape in the request line itself is refused by the server before any handler.
        for (const QByteArray& line : {QByteArray("GET /mercadolibre/ml00000319_Blank.php\0 HTTP/1.1\r\n\r\n", 51),
                                       post(price + QByteArray("MLV700000000\0&precio_item=12", 28), {}, cookie),
                                       QByteArray("GET /oauth/callback?code=%zz&state=%00%GG HTTP/1.1\r\n\r\n")}) {
            const Raw r = exchange(c.port, line);
            QVERIFY2(r.status == 400 && !r.body.contains("Listo!!!"), r.all.constData());
        }
        QCOMPARE(c.api.applied(), QStringList());
        QCOMPARE(c.price("MLV700000000", "12"), priceSet);
    } else if (fault == u"address") {
        const httplib::Headers from{{"X-Real-IP", "203.0.113.7"}};
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(c.signIn("fusuario=usuario" + std::to_string(i) + "&fclave=otra", from),
                     string(texts::WrongCredentials));
        }
        // The right password from that address is refused too, without checking it, until the window ends.
        const string refused = c.signIn("fusuario=tienda&fclave=clave1", from);
        const QStringList around = QString::fromUtf8(texts::AddressLocked).split("%1");
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(around[0]) + "\\d\\d:\\d\\d" +
                                    QRegularExpression::escape(around[1]) + "$")
                     .match(QString::fromStdString(refused))
                     .hasMatch(),
                 refused.c_str());
        QCOMPARE(c.signIn("fusuario=tienda&fclave=clave1", {{"X-Real-IP", "203.0.113.8"}}), signedIn);
    } else if (fault == u"forged state") {
        const Chain::Authorized real = c.authorize(c.link);
        const auto [status, page] = c.callback({"c3RhdGUtZmFsc2lmaWNhZG8", real.code});
        QCOMPARE(status, 400);
        QVERIFY(page.find("La vinculación no es válida o venció.") != string::npos);
        QCOMPARE(c.api.statuses("POST", "/oauth/token", "authorization_code"), QList<int>());
        QCOMPARE(c.signIn(), string(texts::NotLinked));
    } else if (fault == u"replayed state") {
        const Chain::Authorized a = c.authorize(c.link);
        QCOMPARE(c.callback(a).first, 200);
        const auto [status, page] = c.callback(a);
        QCOMPARE(status, 400);
        QVERIFY(page.find("La vinculación no es válida o venció.") != string::npos);
        QCOMPARE(c.api.statuses("POST", "/oauth/token", "authorization_code"), QList<int>{200});
    } else if (fault == u"link twice") {
        // Two browsers open the same link; the first to come back links the account, the second links nothing.
        const Chain::Authorized first = c.authorize(c.link);
        const Chain::Authorized second = c.authorize(c.link);
        QVERIFY(!first.code.isEmpty() && !second.code.isEmpty());
        QCOMPARE(c.callback(first).first, 200);
        const auto [status, page] = c.callback(second);
        QCOMPARE(status, 400);
        QVERIFY(page.find("El enlace de vinculación ya se usó o venció.") != string::npos);
        QCOMPARE(c.api.statuses("POST", "/oauth/token", "authorization_code"), QList<int>{200});
        const auto again = c.client()->Get(c.link.mid(strlen("https://pasarela.example")).toStdString());
        QVERIFY(again);
        QCOMPARE(again->status, 404);
        QCOMPARE(c.signIn(), signedIn);
    } else {
        QFAIL("unknown fault");
    }
    if (c.gateway.state() != QProcess::NotRunning) {
        QCOMPARE(c.stop(), 0);
    }
    qInfo("%s: the row's faults took %lld ms", qPrintable(fault), whole.elapsed());
}

QTEST_GUILESS_MAIN(tst_Programa)
#include "tst_programa.moc"
