// The gateway as a process: settings, commands, serving, and its libcurl client against an HTTPS stand-in of the
// marketplace's API on 127.0.0.1.
#include "PostgresServer.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <signal.h>

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
    void write(const QByteArray& server, int apiPort, bool extraCa = true) {
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
                (extraCa ? QByteArray("extra_ca = " TLS_DIR "/ca.pem\n") : QByteArray()) +
                "[store]\ndatabase = gateway.sqlite\nkey_file = gateway.key\n");
    }
    // Runs a command to its end; returns standard output.
    QByteArray run(const QStringList& args, const QByteArray& input = {}, int* code = nullptr,
                   QByteArray* err = nullptr) {
        QProcess p;
        p.start(VANTORIA_GATEWAY, QStringList{"--config", ini} + args);
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
        }
        if (code) {
            *code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        }
        if (err) {
            *err = p.readAllStandardError();
        }
        return p.readAllStandardOutput();
    }
    // Starts `serve` and waits for its one line.
    QString serve(QProcess& p) {
        p.start(VANTORIA_GATEWAY, {"--config", ini, "serve"});
        for (int i = 0; i < 100 && !p.canReadLine(); ++i) {
            p.waitForReadyRead(100);
        }
        return QString::fromUtf8(p.readLine()).trimmed();
    }
    static int stop(QProcess& p) {
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
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
        for (int i = 0; i < 100 && !process.canReadLine(); ++i) {
            process.waitForReadyRead(100);
        }
        const QString base = QString::fromUtf8(process.readLine()).trimmed();
        if (base.startsWith("https://127.0.0.1:")) {
            port = base.mid(base.lastIndexOf(u':') + 1).toInt();
        }
    }
    ~ApiDouble() {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
        }
    }
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

QTEST_GUILESS_MAIN(tst_Programa)
#include "tst_programa.moc"
