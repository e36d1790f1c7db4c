// vantoria-gateway: the maker's gateway between the window and the marketplace, and its account commands.
#include "CurlMarketplace.h"
#include "Gateway.h"
#include "GatewaySettings.h"
#include "Secrets.h"
#include "Store.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <curl/curl.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>

using namespace gateway;

namespace {

// A thread for every shop connected at once: the library's queue is first come, first served, so with a few threads
// a crowd of sign-ins (each waiting for a core to check its password) held up the pages and prices of the shops
// already signed in for many seconds. A waiting thread costs little.
constexpr int WorkerThreads = 512;
constexpr size_t MaxHeaders = 100;
constexpr int ListenBacklog = 1024;

const char Usage[] =
    "Uso: vantoria-gateway [--config ARCHIVO] ORDEN\n"
    "  serve                      atiende a las ventanas de Vantoria\n"
    "  account add USUARIO        crea la cuenta (clave por la entrada estándar) e imprime su enlace de vinculación\n"
    "  account link USUARIO       imprime un enlace de vinculación nuevo\n"
    "  account list               usuarios, vendedor, vinculada, vencimiento y bloqueo\n"
    "  account password USUARIO   cambia la clave (por la entrada estándar)\n"
    "  account remove USUARIO     borra la cuenta\n"
    "  audit [--seller ID] [--csv]  los cambios de precio pedidos\n"
    "  store copy --from BASE     copia todo de otra base (un archivo SQLite) a la base configurada, vacía\n";

void line(FILE* to, const QString& text) {
    std::fputs(text.toUtf8().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

// The password from standard input, without echo on a terminal; the line end is not part of it.
QByteArray readPassword() {
    termios saved{};
    const bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        std::fputs("Clave: ", stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string text;
    std::getline(std::cin, text);
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputc('\n', stderr);
    }
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    return QByteArray::fromStdString(text);
}

QString csvField(const QString& value) {
    if (!value.contains(u',') && !value.contains(u'"') && !value.contains(u'\n')) {
        return value;
    }
    return QStringLiteral("\"") + QString(value).replace(QStringLiteral("\""), QStringLiteral("\"\"")) +
           QStringLiteral("\"");
}

QString when(qint64 secs) {
    return secs <= 0 ? QStringLiteral("-")
                     : QDateTime::fromSecsSinceEpoch(secs).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

struct Services {
    GatewaySettings settings;
    std::unique_ptr<Store> store;
    std::unique_ptr<Sealer> sealer;
    std::unique_ptr<CurlMarketplace> market;
    SystemClock clock;
    std::unique_ptr<Gateway> gateway;
};

// Everything the commands share, or one line that names what stopped it.
bool openServices(const QString& file, Services& s) {
    QFile ini(file);
    if (!ini.open(QIODevice::ReadOnly)) {
        line(stderr, QStringLiteral("%1: %2").arg(file, ini.errorString()));
        return false;
    }
    QString error;
    std::optional<GatewaySettings> settings = parseSettings(file, ini.readAll(), &error);
    if (!settings) {
        line(stderr, error);
        return false;
    }
    s.settings = *settings;
    QFile secretFile(s.settings.clientSecretFile);
    if (!secretFile.open(QIODevice::ReadOnly)) {
        line(stderr, QStringLiteral("%1: [marketplace] client_secret_file: %2").arg(file, secretFile.errorString()));
        return false;
    }
    const QByteArray secret = secretFile.readAll().trimmed();
    if (secret.isEmpty()) {
        line(stderr, QStringLiteral("%1: [marketplace] client_secret_file: %2 está vacío")
                         .arg(file, s.settings.clientSecretFile));
        return false;
    }
    s.store = std::make_unique<Store>(s.settings.database);
    if (!s.store->open()) {
        line(stderr,
             QStringLiteral("%1: [store] database: %2: %3").arg(file, s.store->displayName(), s.store->lastError()));
        return false;
    }
    // A token sealed with one key opens with that key only. A new key beside a store that holds sealed tokens
    // would make every seller unreadable, so a missing or different key stops the start instead.
    std::optional<SellerTokens> sealed;
    for (const Account& a : s.store->accounts()) {
        if (!a.sellerId.isEmpty() && (sealed = s.store->tokens(a.sellerId))) {
            break;
        }
    }
    const QString keyLine = QStringLiteral("%1: [store] key_file: %2: %3").arg(file, s.settings.keyFile);
    if (sealed && !QFileInfo::exists(s.settings.keyFile)) {
        line(stderr, keyLine.arg(QStringLiteral("falta, y el almacén guarda datos sellados con ella; restáurela "
                                                "de la copia de seguridad")));
        return false;
    }
    const std::optional<QByteArray> key = loadOrCreateKey(s.settings.keyFile, &error);
    if (!key) {
        line(stderr, keyLine.arg(error));
        return false;
    }
    if (QFileInfo(s.settings.keyFile).permissions() &
        (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther)) {
        line(stderr,
             keyLine.arg(QStringLiteral("otros usuarios pueden leerla; déjela solo para su dueño (chmod 600)")));
        return false;
    }
    s.sealer = std::make_unique<Sealer>(*key);
    if (sealed && !s.sealer->open(sealed->refreshSealed)) {
        line(stderr, keyLine.arg(QStringLiteral("no abre los datos sellados del almacén; es otra clave")));
        return false;
    }
    s.market = std::make_unique<CurlMarketplace>(s.settings.apiUrl, s.settings.extraCa);
    GatewayConfig config{{s.settings.clientId, secret, s.settings.redirectUri},
                         s.settings.authUrl,
                         s.settings.publicBase(),
                         PasswordCost::interactive(),
                         20000,
                         s.settings.timeoutSeconds * 1000};
    s.gateway = std::make_unique<Gateway>(*s.store, *s.market, s.clock, *s.sealer, config);
    return true;
}

Request toRequest(const httplib::Request& in) {
    Request r;
    r.method = QByteArray::fromStdString(in.method);
    splitTarget(QByteArray::fromStdString(in.target), &r.path, &r.query);
    for (const auto& [name, value] : in.headers) {
        r.headers.append({QByteArray::fromStdString(name).toLower(), QByteArray::fromStdString(value)});
    }
    r.body = QByteArray::fromStdString(in.body);
    r.peer = QString::fromStdString(in.remote_addr);
    r.now = QDateTime::currentDateTimeUtc();
    return r;
}

int serve(Services& s, const QString& file) {
    std::unique_ptr<httplib::Server> server;
    if (s.settings.tls()) {
        auto tls = std::make_unique<httplib::SSLServer>(s.settings.certificate.toUtf8().constData(),
                                                        s.settings.key.toUtf8().constData());
        if (!tls->is_valid()) {
            line(stderr, QStringLiteral("%1: [server] certificate: no se pudo cargar %2 con %3")
                             .arg(file, s.settings.certificate, s.settings.key));
            return 2;
        }
        server = std::move(tls);
    } else {
        server = std::make_unique<httplib::Server>();
    }
    const auto handler = [&s](const httplib::Request& in, httplib::Response& out) {
        const qint64 started = QDateTime::currentMSecsSinceEpoch();
        Response r;
        CurlMarketplace::resetWaited();
        try {
            r = s.gateway->handle(toRequest(in));
        } catch (...) {
            // Nothing thrown may end a worker thread; the window gets a sentence without the success marker.
            r = Response{};
            r.body = texts::StoreDown;
        }
        out.status = r.status;
        for (const auto& [name, value] : r.headers) {
            out.set_header(name.toStdString(), value.toStdString());
        }
        // What the request waited on the marketplace, in milliseconds (the load bench subtracts it).
        out.set_header("Server-Timing", "mercado;dur=" + std::to_string(CurlMarketplace::waitedMicros() / 1000.0));
        out.set_content(r.body.toStdString(), r.contentType.toStdString());
        // The path without its query; a one-time link's token is a secret and is left out.
        std::string path = in.path.rfind("/vincular/", 0) == 0 ? std::string("/vincular/...") : in.path;
        std::fprintf(stderr, "%s %s %s -> %d (%lld ms)\n", in.remote_addr.c_str(), in.method.c_str(), path.c_str(),
                     r.status, static_cast<long long>(QDateTime::currentMSecsSinceEpoch() - started));
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    // What a caller may take of the server. The window sends one small request per connection, and so does the
    // proxy in front; anything beyond is ended early instead of holding a worker.
    server->new_task_queue = [] { return new httplib::ThreadPool(WorkerThreads); };
    // An answer is written as head and body; without this the second write waits for the peer's delayed ACK.
    server->set_tcp_nodelay(true);
    server->set_keep_alive_max_count(1);  // one request a connection
    // The kernel hands a connection over once its first bytes are in (see the listening socket below), so one that
    // has nothing to read when a worker takes it is one that never sent anything: it is dropped at once (after
    // the library's 10 ms look) instead of holding the worker. Over TLS the request follows the handshake; a second.
    server->set_keep_alive_timeout(s.settings.tls() ? 1 : 0);
    server->set_read_timeout(5, 0);             // and never pause longer than 5 s while sending it
    server->set_write_timeout(10, 0);           // a reader that stops taking the answer is dropped
    server->set_payload_max_length(64 * 1024);  // 413 beyond (a sign-in body is a few dozen bytes)
    server->set_pre_routing_handler([](const httplib::Request& in, httplib::Response& out) {
        if (in.headers.size() > MaxHeaders) {
            out.status = 431;
            out.set_content("Demasiados encabezados.", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // The listening socket: a connection that sends nothing is kept by the kernel and never reaches a worker
    // (TCP_DEFER_ACCEPT), and the queue of connections waiting to be accepted holds a crowd, not five.
    int listening = -1;
    server->set_socket_options([&listening](socket_t sock) {
        const int yes = 1;
        const int deferSeconds = 30;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(sock, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
        listening = sock;
    });

    const std::string host = s.settings.host.toStdString();
    int port = s.settings.port;
    if (port == 0) {
        port = server->bind_to_any_port(host);
    } else if (!server->bind_to_port(host, port)) {
        port = -1;
    }
    if (port >= 0 && listening >= 0) {
        ::listen(listening, ListenBacklog);
    }
    if (port < 0) {
        line(stderr, QStringLiteral("%1: [server] listen: no se pudo escuchar en %2:%3")
                         .arg(file, s.settings.host)
                         .arg(s.settings.port));
        return 2;
    }
    // Requests in flight finish after SIGTERM: the signal only stops the accepting, in a thread of its own.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server->stop();
    });
    const QString shownHost = s.settings.host.contains(u':') ? u'[' + s.settings.host + u']' : s.settings.host;
    line(stdout, QStringLiteral("Escuchando en %1://%2:%3")
                     .arg(s.settings.tls() ? QStringLiteral("https") : QStringLiteral("http"), shownHost)
                     .arg(port));
    const bool ended = server->listen_after_bind();
    if (server->is_running() || !ended) {
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    return 0;
}

int accountCommand(Services& s, const QStringList& args) {
    const QString verb = args.value(0);
    const QString user = args.value(1);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (verb == u"list" && args.size() == 1) {
        line(stdout, QStringLiteral("usuario\tvendedor\tvinculada\tvence\tbloqueada"));
        for (const Account& a : s.store->accounts()) {
            const std::optional<SellerTokens> tokens =
                a.sellerId.isEmpty() ? std::nullopt : s.store->tokens(a.sellerId);
            const QString linked = !tokens          ? QStringLiteral("no")
                                   : tokens->relink ? QStringLiteral("vencida")
                                                    : QStringLiteral("sí");
            line(stdout,
                 QStringLiteral("%1\t%2\t%3\t%4\t%5")
                     .arg(a.user, a.sellerId.isEmpty() ? QStringLiteral("-") : a.sellerId, linked,
                          when(tokens ? tokens->expiresAt : 0),
                          a.lockedUntil > now ? QStringLiteral("hasta ") + when(a.lockedUntil) : QStringLiteral("no")));
        }
        return 0;
    }
    if (user.isEmpty() || args.size() != 2) {
        std::fputs(Usage, stderr);
        return 2;
    }
    if (verb == u"add" || verb == u"password") {
        const QByteArray password = readPassword();
        if (password.isEmpty()) {
            line(stderr, QStringLiteral("La clave no puede quedar vacía."));
            return 1;
        }
        const QByteArray hash = hashPassword(password, PasswordCost::interactive());
        if (verb == u"password") {
            if (!s.store->setPassword(user, hash)) {
                line(stderr, QStringLiteral("No existe la cuenta %1.").arg(user));
                return 1;
            }
            return 0;
        }
        if (user.contains(u'&') || !s.store->addAccount(user, hash)) {
            line(stderr, QStringLiteral("No se pudo crear la cuenta %1: %2").arg(user, s.store->lastError()));
            return 1;
        }
    }
    if (verb == u"add" || verb == u"link") {
        if (!s.store->account(user)) {
            line(stderr, QStringLiteral("No existe la cuenta %1.").arg(user));
            return 1;
        }
        const std::optional<QByteArray> link = s.gateway->createLink(user, now);
        if (!link) {
            line(stderr, QStringLiteral("No se pudo crear el enlace: %1").arg(s.store->lastError()));
            return 1;
        }
        line(stdout, QString::fromUtf8(*link));
        return 0;
    }
    if (verb == u"remove") {
        if (!s.store->removeAccount(user)) {
            line(stderr, QStringLiteral("No existe la cuenta %1.").arg(user));
            return 1;
        }
        return 0;
    }
    std::fputs(Usage, stderr);
    return 2;
}

int auditCommand(Services& s, const QStringList& args) {
    QString seller;
    bool csv = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == u"--csv") {
            csv = true;
        } else if (args[i] == u"--seller" && i + 1 < args.size()) {
            seller = args[++i];
        } else {
            std::fputs(Usage, stderr);
            return 2;
        }
    }
    const QChar sep = csv ? u',' : u'\t';
    const auto field = [&](const QString& v) { return csv ? csvField(v) : v; };
    line(stdout, QStringList{"hora", "usuario", "vendedor", "publicacion", "precio_pedido", "precio_aplicado",
                             "resultado", "estado_mercado"}
                     .join(sep));
    for (const AuditRow& r : s.store->audit(seller)) {
        line(stdout, QStringList{field(r.at), field(r.user), field(r.sellerId), field(r.item), field(r.priceAsked),
                                 field(r.priceSet), field(r.outcome), QString::number(r.marketStatus)}
                         .join(sep));
    }
    return 0;
}

// Moving to another engine: every row of FROM into the configured store, which must be empty.
int storeCommand(Services& s, const QStringList& args) {
    if (args.size() != 3 || args[0] != u"copy" || args[1] != u"--from") {
        std::fputs(Usage, stderr);
        return 2;
    }
    Store source(args[2]);
    if (!source.isPostgres() && !QFile::exists(args[2])) {
        line(stderr, QStringLiteral("No existe la base %1.").arg(args[2]));
        return 1;
    }
    QStringList copied;
    if (!source.open() || !s.store->copyFrom(source, &copied)) {
        const QString error = source.lastError().isEmpty() ? s.store->lastError() : source.lastError();
        line(stderr,
             QStringLiteral("No se pudo copiar %1 a %2: %3").arg(source.displayName(), s.store->displayName(), error));
        return 1;
    }
    line(stdout, QStringLiteral("Copiado de %1 a %2:").arg(source.displayName(), s.store->displayName()));
    for (const QString& table : copied) {
        line(stdout, table);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The store and the key are the gateway's alone.
    umask(077);
    // Stop signals are waited for by one thread; every other thread, the server's workers included, blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Every connection is a descriptor: take what the system allows rather than the shell's 1,024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString config = QString::fromUtf8(DefaultSettingsFile);
    if (args.size() >= 2 && args[0] == u"--config") {
        config = args[1];
        args = args.mid(2);
    }
    if (args.size() == 1 && (args[0] == u"-h" || args[0] == u"--help")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    static const QStringList Commands{QStringLiteral("serve"), QStringLiteral("account"), QStringLiteral("audit"),
                                      QStringLiteral("store")};
    if (args.isEmpty() || !Commands.contains(args[0])) {
        line(stderr,
             args.isEmpty() ? QStringLiteral("Falta la orden.") : QStringLiteral("Orden desconocida: %1").arg(args[0]));
        std::fputs(Usage, stderr);
        return 2;
    }
    if (!initSecrets() || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        line(stderr, QStringLiteral("No se pudieron preparar libsodium o libcurl."));
        return 1;
    }
    Services services;
    if (!openServices(config, services)) {
        return 2;
    }
    const QString command = args.takeFirst();
    if (command == u"serve" && args.isEmpty()) {
        return serve(services, config);
    }
    if (command == u"account") {
        return accountCommand(services, args);
    }
    if (command == u"audit") {
        return auditCommand(services, args);
    }
    if (command == u"store") {
        return storeCommand(services, args);
    }
    std::fputs(Usage, stderr);
    return 2;
}
