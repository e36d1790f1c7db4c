// The marketplace's API as documented for sellers' applications, answered from the double's own sellers and items.
#include "Api.h"

#include "JSON.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>
#include <QUrl>

#include <algorithm>

namespace sim {

namespace {

using json::Collection;
using json::Decimal;
using json::Dictionary;
using json::JsonValue;

constexpr int MaxLimit = 100;
constexpr int MaxOffset = 1000;
constexpr int DefaultLimit = 50;
constexpr int MaxMultiget = 20;
constexpr qint64 ScrollMs = 5 * 60 * 1000;
constexpr qint64 CodeMs = 10 * 60 * 1000;
constexpr double TooHigh = 9999999999.0;
const char Category[] = "MLV1574";
const char ControlPrefix[] = "/_sim/";

const char* const Titles[] = {
    "Licuadora Oster 10 Velocidades Vaso De Vidrio",
    "Teléfono Celular Samsung Galaxy A14 128gb",
    "Cafetera Eléctrica Black+decker 12 Tazas",
    "Juego De Sábanas Matrimonial 100% Algodón",
    "Olla De Presión Imusa 6 Litros",
    "Taladro Percutor Bosch 650w Con Maletín",
    "Freidora De Aire Ninja 5.5 Litros",
    "Ventilador De Pedestal Taurus 18 Pulgadas",
    "Mouse Inalámbrico Logitech M185",
    "Termo Stanley Clásico 1.4 Litros",
};
const char* const Colours[] = {"Negro", "Blanco", "Azul"};

JsonValue integer(qint64 n) {
    return JsonValue(Decimal::fromInteger(n));
}

JsonValue number(QByteArrayView plain) {
    Decimal d;
    Decimal::parse(plain, d);
    return JsonValue(d);
}

// A JSON object written member after member: obj("a", x)("b", y).value().
class Obj {
  public:
    Obj& operator()(const char* key, JsonValue value) {
        d_.setItem(QString::fromLatin1(key), std::move(value));
        return *this;
    }
    Dictionary take() { return std::move(d_); }
    JsonValue value() { return JsonValue(std::move(d_)); }

  private:
    Dictionary d_;
};

JsonValue list(const QList<JsonValue>& values) {
    Collection c;
    for (const JsonValue& v : values)
        c.Add(v);
    return JsonValue(std::move(c));
}

Answer json(int status, const JsonValue& value) {
    return {status, Json, json::toCanonicalUtf8(value)};
}

// The marketplace's error shape; `cause` is an array of {cause_id, code, message} or empty.
Answer error(int status, const QString& message, const QString& code, JsonValue cause = JsonValue(Collection())) {
    return json(status, Obj()("message", message)("error", code)("status", integer(status))("cause", cause).value());
}

Answer validation(int causeId, const QString& code, const QString& message) {
    const JsonValue cause = Obj()("cause_id", integer(causeId))("type", QStringLiteral("error"))("code", code)(
                                "references", list({QStringLiteral("item.price")}))("message", message)
                                .value();
    return error(400, QStringLiteral("Validation error"), QStringLiteral("validation_error"), list({cause}));
}

Answer unauthorized() {
    return error(401, QStringLiteral("invalid access token"), QStringLiteral("unauthorized"));
}

Answer notFound(const QString& message) {
    return error(404, message, QStringLiteral("not_found"));
}

QString errorCodeFor(int status) {
    switch (status) {
        case 400:
            return QStringLiteral("bad_request");
        case 401:
            return QStringLiteral("unauthorized");
        case 403:
            return QStringLiteral("forbidden");
        case 404:
            return QStringLiteral("not_found");
        case 409:
            return QStringLiteral("conflict");
        case 429:
            return QStringLiteral("local_rate_limited");
        case 500:
            return QStringLiteral("internal_server_error");
        case 502:
            return QStringLiteral("bad_gateway");
        case 503:
            return QStringLiteral("service_unavailable");
        case 504:
            return QStringLiteral("gateway_timeout");
        default:
            return QStringLiteral("error");
    }
}

QByteArray randomHex(int bytes) {
    QByteArray raw(bytes, '\0');
    for (char& c : raw)
        c = char(QRandomGenerator::system()->bounded(256));
    return raw.toHex();
}

QByteArray page(const QString& title, const QString& body) {
    return "<!DOCTYPE html><html lang=\"es\"><head><meta charset=\"utf-8\"><title>" + title.toHtmlEscaped().toUtf8() +
           "</title></head><body><h1>" + title.toHtmlEscaped().toUtf8() + "</h1>" + body.toUtf8() + "</body></html>";
}

QString slug(const QString& title) {
    const QString plain = title.normalized(QString::NormalizationForm_D);
    QString out;
    bool dash = false;
    for (const QChar c : plain) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        const QChar l = c.toLower();
        if ((l >= u'a' && l <= u'z') || (l >= u'0' && l <= u'9')) {
            if (dash && !out.isEmpty())
                out += u'-';
            dash = false;
            out += l;
        } else {
            dash = true;
        }
    }
    return out;
}

QByteArray methodOf(const Request& r) {
    return r.method.toUpper();
}

bool matches(const QByteArray& filter, const Request& r) {
    return filter.isEmpty() || filter.compare(r.method, Qt::CaseInsensitive) == 0;
}

}  // namespace

ApiDouble::ApiDouble(const ApiOptions& options) : o_(options) {
    startMs_ = nowMs();
    const auto add = [this](const QString& seller, qint64 first, int count) {
        for (int i = 0; i < count; ++i) {
            Item item;
            item.id = QLatin1String(ApiSiteItemPrefix) + QString::number(first + i);
            item.seller = seller;
            const int n = int(std::size(Titles));
            item.title =
                first == ApiFirstItem && i < o_.titles.size()
                    ? o_.titles[i]
                    : QString::fromUtf8(Titles[i % n]) + (i >= n ? QStringLiteral(" %1").arg(i / n + 1) : QString());
            item.price = QByteArray::number(100 + i) + (i % 2 ? ".50" : "");
            item.status = o_.paused.contains(item.id) ? QStringLiteral("paused") : QStringLiteral("active");
            item.automated = o_.automated.contains(item.id);
            item.conflictPending = o_.conflictOnce.contains(item.id);
            if (o_.variations.contains(item.id))
                for (int k = 1; k <= 3; ++k)
                    item.variations.append(180000000000LL + (first + i - ApiFirstItem) * 10 + k);
            itemIndex_.insert(item.id, items_.size());
            items_.append(item);
        }
    };
    add(o_.seller, ApiFirstItem, std::max(0, o_.items));
    add(o_.otherSeller, ApiFirstOtherItem, std::max(0, o_.otherItems));
    for (const ApiFailure& f : o_.failures) {
        failuresLeft_.append(f.count);
        failingSince_.append(-1);
    }
}

ApiDouble::~ApiDouble() = default;

bool ApiDouble::openLog(QString* error) {
    if (o_.logFile.isEmpty())
        return true;
    log_ = std::make_unique<QFile>(o_.logFile);
    if (!log_->open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = QStringLiteral("cannot write %1: %2").arg(o_.logFile, log_->errorString());
        log_.reset();
        return false;
    }
    return true;
}

qint64 ApiDouble::nowMs() const {
    return MarketSim::now() / 1'000'000;
}

std::optional<Fault> ApiDouble::lateness(const Request& request) const {
    if (o_.slowMs <= 0 || !matches(o_.slowMethod, request) || request.path.startsWith(ControlPrefix))
        return std::nullopt;
    Fault f;
    f.kind = FaultKind::Delay;
    f.millis = o_.slowMs;
    return f;
}

Answer ApiDouble::answer(const Request& request) {
    Dictionary extra;
    const Answer a = route(request, extra);
    if (a.status >= 400 && a.contentType == Json) {
        if (const auto parsed = ParseJsonUtf8(a.body); parsed && parsed->isDictionary()) {
            extra.setItem(QStringLiteral("error"), parsed->dictionary().Item(u"error"));
            const JsonValue& cause = parsed->dictionary().Item(u"cause");
            if (cause.isCollection() && cause.collection().Count() > 0 && cause.collection().Item(1).isDictionary())
                extra.setItem(QStringLiteral("cause"), cause.collection().Item(1).dictionary().Item(u"cause_id"));
        }
    }
    write(request, a.status, std::move(extra));
    return a;
}

void ApiDouble::write(const Request& request, int status, Dictionary extra) {
    Obj line;
    line("ms", integer(nowMs() - startMs_))("method", QString::fromLatin1(request.method))(
        "path", QString::fromUtf8(request.path));
    if (!request.rawQuery.isEmpty())
        line("query", QString::fromUtf8(request.rawQuery));
    line("status", integer(status));
    for (const json::DictionaryMember& m : extra)
        line(m.key.toLatin1().constData(), m.value);
    const QByteArray text = json::toCanonicalUtf8(line.value());
    lines_.append(text);
    if (log_) {
        log_->write(text + '\n');
        log_->flush();
    }
}

std::optional<Answer> ApiDouble::failure(const Request& request) {
    const qint64 now = nowMs();
    if (o_.rate > 0) {
        recent_.removeIf([now](qint64 t) { return now - t >= 1000; });
        if (recent_.size() >= o_.rate)
            return error(429, QStringLiteral("Too many requests"), QStringLiteral("local_rate_limited"));
        recent_.append(now);
    }
    for (qsizetype i = 0; i < o_.failures.size(); ++i) {
        const ApiFailure& f = o_.failures[i];
        if (!matches(f.method, request))
            continue;
        bool fails = false;
        if (f.millis > 0) {
            if (failingSince_[i] < 0)
                failingSince_[i] = now;
            fails = now - failingSince_[i] < f.millis;
        } else if (failuresLeft_[i] > 0) {
            --failuresLeft_[i];
            fails = true;
        }
        if (fails)
            return error(f.status, QStringLiteral("Failure played by the double"), errorCodeFor(f.status));
    }
    return std::nullopt;
}

QString ApiDouble::caller(const Request& request) const {
    const QByteArray header = request.header("Authorization");
    if (!header.startsWith("Bearer "))
        return {};
    const auto t = access_.constFind(QString::fromLatin1(header.sliced(7).trimmed()));
    if (t == access_.cend() || t->expiresMs <= nowMs())
        return {};
    return t->user;
}

Answer ApiDouble::route(const Request& request, Dictionary& extra) {
    const QByteArray& path = request.path;
    const QByteArray method = methodOf(request);
    if (path.startsWith(ControlPrefix)) {
        // Not the marketplace's: what tests do to the double while it runs.
        if (method == "POST" && path == "/_sim/revoke") {
            access_.clear();
            refresh_.clear();
            return json(200, Obj()("revoked", JsonValue(true)).value());
        }
        if (method == "POST" && path == "/_sim/expire") {
            for (Token& t : access_)
                t.expiresMs = 0;
            return json(200, Obj()("expired", JsonValue(true)).value());
        }
        return notFound(QStringLiteral("resource not found"));
    }
    if (path == "/authorization")
        return authorization(request, extra);
    if (std::optional<Answer> refused = failure(request))
        return *refused;
    if (path == "/oauth/token") {
        if (method != "POST")
            return error(405, QStringLiteral("method not allowed"), QStringLiteral("method_not_allowed"));
        return token(request, extra);
    }

    const QList<QByteArray> parts = path.sliced(1).split('/');
    const QString user = caller(request);
    const bool hasBearer = !request.header("Authorization").isEmpty();
    if (parts.size() == 2 && parts[0] == "currencies" && method == "GET") {
        if (hasBearer && user.isEmpty())
            return unauthorized();
        if (parts[1] != "VES")
            return notFound(QStringLiteral("Currency not found"));
        return json(200, Obj()("id", QStringLiteral("VES"))("symbol", QStringLiteral("Bs."))(
                             "description", QStringLiteral("Bolívar soberano"))("decimal_places", integer(2))
                             .value());
    }
    if (user.isEmpty())
        return unauthorized();
    if (method == "GET" && parts.size() == 2 && parts[0] == "users" && parts[1] == "me") {
        return json(200, Obj()("id", integer(user.toLongLong()))("nickname", "TIENDA" + user)(
                             "site_id", QStringLiteral("MLV"))("country_id", QStringLiteral("VE"))(
                             "user_type", QStringLiteral("normal"))("tags", list({QStringLiteral("normal")}))
                             .value());
    }
    if (method == "GET" && parts.size() == 4 && parts[0] == "users" && parts[2] == "items" && parts[3] == "search") {
        if (QString::fromUtf8(parts[1]) != user)
            return error(403, QStringLiteral("caller.id does not match the user of the path"),
                         QStringLiteral("forbidden"));
        return search(request, user);
    }
    if (method == "GET" && parts.size() == 1 && parts[0] == "items")
        return multiget(request);
    if (parts.size() == 2 && parts[0] == "items") {
        const QString id = QString::fromUtf8(parts[1]);
        const auto at = itemIndex_.constFind(id);
        if (method == "GET") {
            if (at == itemIndex_.cend())
                return notFound(QStringLiteral("Item with id %1 not found").arg(id));
            return json(200, itemBody(items_[*at], request.query.value(QStringLiteral("attributes"))));
        }
        if (method == "PUT") {
            extra.setItem(QStringLiteral("item"), id);
            if (at == itemIndex_.cend())
                return notFound(QStringLiteral("Item with id %1 not found").arg(id));
            Item& item = items_[*at];
            if (item.seller != user)
                return error(403, QStringLiteral("caller.id is not the owner of item %1").arg(id),
                             QStringLiteral("forbidden"));
            return change(request, item, extra);
        }
        return error(405, QStringLiteral("method not allowed"), QStringLiteral("method_not_allowed"));
    }
    return notFound(QStringLiteral("resource not found"));
}

// GET shows the form; its button posts the same values back, and the answer sends the browser to the redirect
// URI with a code for the token endpoint.
Answer ApiDouble::authorization(const Request& request, Dictionary& extra) {
    const bool post = methodOf(request) == "POST";
    const QMap<QString, QString>& v = post ? request.form : request.query;
    const QString redirect = v.value(QStringLiteral("redirect_uri"));
    QString fault;
    if (v.value(QStringLiteral("response_type")) != QLatin1String("code"))
        fault = QStringLiteral("response_type debe ser code.");
    else if (v.value(QStringLiteral("client_id")) != o_.clientId)
        fault = QStringLiteral("La aplicación no existe.");
    else if (redirect.isEmpty() || (!o_.redirectUri.isEmpty() && redirect != o_.redirectUri) ||
             std::any_of(redirect.begin(), redirect.end(), [](QChar c) { return c < u' '; }))
        fault = QStringLiteral("redirect_uri no coincide con la registrada.");
    else if (v.value(QStringLiteral("code_challenge")).isEmpty() ||
             v.value(QStringLiteral("code_challenge_method")) != QLatin1String("S256"))
        fault = QStringLiteral("Esta aplicación exige PKCE con code_challenge_method=S256.");
    if (!fault.isEmpty())
        return {400, TextHtml, page(QStringLiteral("No se pudo autorizar"), "<p>" + fault.toHtmlEscaped() + "</p>")};
    if (!post) {
        QString fields;
        for (const char* name :
             {"response_type", "client_id", "redirect_uri", "state", "code_challenge", "code_challenge_method"}) {
            fields += QStringLiteral("<input type=\"hidden\" name=\"%1\" value=\"%2\">")
                          .arg(QLatin1String(name), v.value(QLatin1String(name)).toHtmlEscaped());
        }
        fields += QStringLiteral("<p><label>Cuenta <input name=\"user_id\" value=\"%1\"></label></p>")
                      .arg(o_.seller.toHtmlEscaped());
        return {200, TextHtml,
                page(QStringLiteral("Autorizar aplicación"),
                     QStringLiteral("<p>La aplicación quiere acceder a tu cuenta para leer y modificar tus "
                                    "publicaciones.</p><form method=\"post\" action=\"/authorization\">") +
                         fields + QStringLiteral("<button type=\"submit\">Autorizar</button></form>"))};
    }
    const QString user = v.value(QStringLiteral("user_id"), o_.seller);
    if (user != o_.seller && user != o_.otherSeller)
        return {400, TextHtml,
                page(QStringLiteral("No se pudo autorizar"), QStringLiteral("<p>Cuenta desconocida.</p>"))};
    const QString code = "TG-" + QString::fromLatin1(randomHex(12)) + '-' + user;
    codes_.insert(code, {user, redirect, v.value(QStringLiteral("code_challenge")), nowMs() + CodeMs});
    extra.setItem(QStringLiteral("code"), code);
    extra.setItem(QStringLiteral("user_id"), user);
    const QByteArray location = redirect.toUtf8() + (redirect.contains(u'?') ? '&' : '?') +
                                "code=" + QUrl::toPercentEncoding(code) +
                                "&state=" + QUrl::toPercentEncoding(v.value(QStringLiteral("state")));
    return {302, TextHtml, page(QStringLiteral("Redirigiendo"), QString()), "Location: " + location + "\r\n"};
}

void ApiDouble::issue(const QString& user, Dictionary& body, Dictionary& extra) {
    const QString access = "APP_USR-" + o_.clientId + '-' + QString::fromLatin1(randomHex(12)) + '-' + user;
    const QString refresh = "TG-" + QString::fromLatin1(randomHex(16)) + '-' + user;
    access_.insert(access, {user, nowMs() + qint64(o_.tokenSeconds) * 1000});
    refresh_.insert(refresh, {user, 0});
    body = Obj()("access_token", access)("token_type", QStringLiteral("Bearer"))(
               "expires_in", integer(o_.tokenSeconds))("scope", QStringLiteral("offline_access read write"))(
               "user_id", integer(user.toLongLong()))("refresh_token", refresh)
               .take();
    extra.setItem(QStringLiteral("user_id"), user);
    extra.setItem(QStringLiteral("access_token"), access);
    extra.setItem(QStringLiteral("refresh_token"), refresh);
}

Answer ApiDouble::token(const Request& request, Dictionary& extra) {
    const QMap<QString, QString>& f = request.form;
    const QString grant = f.value(QStringLiteral("grant_type"));
    extra.setItem(QStringLiteral("grant_type"), grant);
    if (f.value(QStringLiteral("client_id")) != o_.clientId ||
        f.value(QStringLiteral("client_secret")) != o_.clientSecret)
        return error(400, QStringLiteral("invalid client_id or client_secret"), QStringLiteral("invalid_client"));
    Dictionary body;
    if (grant == QLatin1String("authorization_code")) {
        const auto code = codes_.constFind(f.value(QStringLiteral("code")));
        if (code == codes_.cend() || code->expiresMs <= nowMs())
            return error(400,
                         QStringLiteral("Error validating grant. Your authorization code or refresh token may be "
                                        "expired or it was already used"),
                         QStringLiteral("invalid_grant"));
        if (code->redirectUri != f.value(QStringLiteral("redirect_uri")))
            return error(400, QStringLiteral("redirect_uri does not match the one of the authorization"),
                         QStringLiteral("invalid_grant"));
        const QByteArray challenge =
            QCryptographicHash::hash(f.value(QStringLiteral("code_verifier")).toUtf8(), QCryptographicHash::Sha256)
                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        if (f.value(QStringLiteral("code_verifier")).isEmpty() || QString::fromLatin1(challenge) != code->challenge)
            return error(400, QStringLiteral("code_verifier does not match the code_challenge"),
                         QStringLiteral("invalid_grant"));
        const QString user = code->user;
        codes_.erase(code);  // a code is good for one exchange
        issue(user, body, extra);
        return json(200, JsonValue(std::move(body)));
    }
    if (grant == QLatin1String("refresh_token")) {
        const auto old = refresh_.constFind(f.value(QStringLiteral("refresh_token")));
        if (old == refresh_.cend())
            return error(400,
                         QStringLiteral("Error validating grant. Your authorization code or refresh token may be "
                                        "expired or it was already used"),
                         QStringLiteral("invalid_grant"));
        const QString user = old->user;
        refresh_.erase(old);  // single use: only the newest refresh token works
        issue(user, body, extra);
        return json(200, JsonValue(std::move(body)));
    }
    return error(400, QStringLiteral("the grant_type is not supported"), QStringLiteral("unsupported_grant_type"));
}

Answer ApiDouble::search(const Request& request, const QString& user) {
    QString status = request.query.value(QStringLiteral("status"));
    bool ok = true;
    const int limit = request.query.contains(QStringLiteral("limit"))
                          ? request.query.value(QStringLiteral("limit")).toInt(&ok)
                          : DefaultLimit;
    if (!ok || limit < 0 || limit > MaxLimit)
        return error(400, QStringLiteral("Invalid limit. Max value: %1").arg(MaxLimit), QStringLiteral("bad_request"));
    QList<JsonValue> ids;
    const auto select = [&](qsizetype from, qsizetype count, qsizetype* total) {
        qsizetype seen = 0;
        for (const Item& item : std::as_const(items_)) {
            if (item.seller != user || (!status.isEmpty() && item.status != status))
                continue;
            if (seen >= from && seen < from + count)
                ids.append(JsonValue(item.id));
            ++seen;
        }
        *total = seen;
    };
    qsizetype total = 0;
    if (request.query.value(QStringLiteral("search_type")) == QLatin1String("scan")) {
        QString id = request.query.value(QStringLiteral("scroll_id"));
        const qint64 now = nowMs();
        if (id.isEmpty()) {
            id = QString::fromLatin1(randomHex(16));
            scrolls_.insert(id, {user, status, 0, 0});
        }
        const auto scroll = scrolls_.find(id);
        if (scroll == scrolls_.end() || scroll->user != user || (scroll->expiresMs > 0 && scroll->expiresMs <= now))
            return error(400, QStringLiteral("scroll_id is invalid or expired"), QStringLiteral("bad_request"));
        status = scroll->status;  // a scroll goes on over what it started with
        select(scroll->next, limit, &total);
        scroll->next += ids.size();
        scroll->expiresMs = now + ScrollMs;
        return json(200, Obj()("seller_id", user)("scroll_id", id)(
                             "paging", Obj()("limit", integer(limit))("total", integer(total)).value())(
                             "results", ids.isEmpty() ? JsonValue::null() : list(ids))
                             .value());
    }
    const int offset = request.query.value(QStringLiteral("offset"), QStringLiteral("0")).toInt(&ok);
    if (!ok || offset < 0 || offset > MaxOffset)
        return error(400, QStringLiteral("Invalid offset. Max value: %1; use search_type=scan").arg(MaxOffset),
                     QStringLiteral("bad_request"));
    select(offset, limit, &total);
    return json(
        200,
        Obj()("seller_id", user)("query", JsonValue::null())(
            "paging", Obj()("limit", integer(limit))("offset", integer(offset))("total", integer(total)).value())(
            "results", list(ids))(
            "orders",
            list({Obj()("id", QStringLiteral("stop_time_asc"))("name", QStringLiteral("Finalizan primero")).value()}))
            .value());
}

Answer ApiDouble::multiget(const Request& request) const {
    const QStringList ids = request.query.value(QStringLiteral("ids")).split(u',', Qt::SkipEmptyParts);
    if (ids.isEmpty())
        return error(400, QStringLiteral("ids is required"), QStringLiteral("bad_request"));
    if (ids.size() > MaxMultiget)
        return error(400, QStringLiteral("Max ids allowed: %1").arg(MaxMultiget), QStringLiteral("bad_request"));
    QList<JsonValue> entries;
    for (const QString& id : ids) {
        const auto at = itemIndex_.constFind(id);
        if (at == itemIndex_.cend()) {
            entries.append(Obj()("code", integer(404))(
                               "body", Obj()("message", QStringLiteral("Item with id %1 not found").arg(id))(
                                           "error", QStringLiteral("not_found"))("status", integer(404))(
                                           "cause", JsonValue(Collection()))
                                           .value())
                               .value());
        } else {
            entries.append(Obj()("code", integer(200))(
                               "body", itemBody(items_[*at], request.query.value(QStringLiteral("attributes"))))
                               .value());
        }
    }
    return json(200, list(entries));
}

JsonValue ApiDouble::itemBody(const Item& item, const QString& attributes) const {
    QList<JsonValue> variations;
    for (const qint64 v : item.variations) {
        const QString colour = QString::fromLatin1(Colours[(v % 10 - 1) % 3]);
        variations.append(
            Obj()("id", integer(v))("price", number(item.price))(
                "attribute_combinations",
                list({Obj()("id", QStringLiteral("COLOR"))("name", QStringLiteral("Color"))("value_name", colour)
                          .value()}))("available_quantity", integer(5))("sold_quantity", integer(0))
                .value());
    }
    const QString digits = item.id.mid(3);
    Dictionary full =
        Obj()("id", item.id)("site_id", QStringLiteral("MLV"))("title", item.title)(
            "seller_id", integer(item.seller.toLongLong()))("category_id", QString::fromLatin1(Category))(
            "price", number(item.price))("base_price", number(item.price))("original_price", JsonValue::null())(
            "currency_id", QStringLiteral("VES"))("available_quantity", integer(10))("sold_quantity", integer(0))(
            "listing_type_id", QStringLiteral("gold_special"))("condition", QStringLiteral("new"))(
            "permalink", "https://articulo.mercadolibre.com.ve/MLV-" + digits + '-' + slug(item.title) + "-_JM")(
            "status", item.status)("variations", list(variations))
            .take();
    if (attributes.isEmpty())
        return JsonValue(std::move(full));
    const QStringList wanted = attributes.split(u',', Qt::SkipEmptyParts);
    Dictionary trimmed;
    for (const json::DictionaryMember& m : full)
        if (wanted.contains(m.key))
            trimmed.setItem(m.key, m.value);
    return JsonValue(std::move(trimmed));
}

Answer ApiDouble::change(const Request& request, Item& item, Dictionary& extra) {
    const qint64 now = nowMs();
    if (item.conflictPending ||
        (o_.lockSeconds > 0 && item.lastPutMs >= 0 && now - item.lastPutMs < o_.lockSeconds * 1000LL)) {
        item.conflictPending = false;
        return error(409, QStringLiteral("item optimistic locking error: conflict"), QStringLiteral("conflict"));
    }
    const std::optional<JsonValue> parsed = ParseJsonUtf8(request.body);
    if (!parsed || !parsed->isDictionary())
        return error(400, QStringLiteral("the body is not a JSON object"), QStringLiteral("bad_request"));
    const Dictionary& body = parsed->dictionary();
    const JsonValue& price = body.Item(u"price");
    const JsonValue& given = body.Item(u"variations");
    bool others = false;
    for (const json::DictionaryMember& m : body)
        others = others || (m.key != QLatin1String("price") && m.key != QLatin1String("variations"));
    if (price.isEmpty() && given.isEmpty())
        return json(200, itemBody(item, {}));

    QByteArray asked;
    QList<qint64> kept;
    if (!given.isEmpty()) {
        if (!price.isEmpty())
            return validation(101, QStringLiteral("body.invalid_fields"),
                              QStringLiteral("price goes in each variation, not beside them"));
        if (item.variations.isEmpty() || !given.isCollection())
            return validation(101, QStringLiteral("item.variations.invalid"),
                              QStringLiteral("Item %1 has no variations").arg(item.id));
        QList<JsonValue> ids;
        for (const JsonValue& v : given.collection()) {
            const JsonValue& id = v.isDictionary() ? v.dictionary().Item(u"id") : JsonValue();
            const JsonValue& p = v.isDictionary() ? v.dictionary().Item(u"price") : JsonValue();
            const qint64 number = id.isNumber() ? qint64(id.number().toDouble()) : -1;
            if (!item.variations.contains(number))
                return validation(101, QStringLiteral("item.variations.id.invalid"),
                                  QStringLiteral("Variation %1 does not belong to item %2")
                                      .arg(id.isNumber() ? id.number().toText(u'.') : QStringLiteral("?"), item.id));
            if (!p.isNumber())
                return validation(101, QStringLiteral("body.invalid_field_types"),
                                  QStringLiteral("price of variation %1 must be a number").arg(number));
            const QByteArray text = p.number().toText(u'.').toLatin1();
            if (!asked.isEmpty() && text != asked)
                return validation(101, QStringLiteral("item.variations.price.invalid"),
                                  QStringLiteral("All the variations of an item must have the same price"));
            asked = text;
            kept.append(number);
            ids.append(integer(number));
        }
        if (kept.isEmpty())
            return validation(101, QStringLiteral("item.variations.invalid"), QStringLiteral("No variations given"));
        extra.setItem(QStringLiteral("variations"), list(ids));
    } else {
        if (!item.variations.isEmpty())
            return validation(101, QStringLiteral("item.price.variations"),
                              QStringLiteral("The price of an item with variations is set on its variations"));
        if (!price.isNumber())
            return validation(101, QStringLiteral("body.invalid_field_types"),
                              QStringLiteral("price must be a number"));
        asked = price.number().toText(u'.').toLatin1();
    }
    const double value = asked.toDouble();
    if (value >= TooHigh)
        return validation(129, QStringLiteral("item.price.invalid"),
                          QStringLiteral("Price must be less than 9999999999"));
    if (value <= 0 || (!o_.minPrice.isEmpty() && value < o_.minPrice.toDouble()))
        return validation(109, QStringLiteral("item.price.invalid"),
                          QStringLiteral("The category %1 requires a minimum price of %2")
                              .arg(QLatin1String(Category), o_.minPrice.isEmpty() ? QStringLiteral("0") : o_.minPrice));
    if (item.automated) {
        if (!others)
            return error(400, QStringLiteral("Cannot modify price on items with dynamic pricing"),
                         QStringLiteral("item.price.not_modifiable"));
        Dictionary shown = itemBody(item, {}).dictionary();
        shown.setItem(QStringLiteral("warnings"),
                      list({Obj()("code", QStringLiteral("item.price.not_modifiable"))(
                                "message", QStringLiteral("The price was not modified: the item has dynamic pricing"))
                                .value()}));
        return json(200, JsonValue(std::move(shown)));
    }
    if (!kept.isEmpty()) {
        QList<JsonValue> deleted;
        for (const qint64 v : std::as_const(item.variations))
            if (!kept.contains(v))
                deleted.append(integer(v));
        if (!deleted.isEmpty())
            extra.setItem(QStringLiteral("deleted"), list(deleted));  // a variation left out of the PUT is gone
        item.variations.removeIf([&kept](qint64 v) { return !kept.contains(v); });
    }
    item.price = asked;
    item.lastPutMs = now;
    extra.setItem(QStringLiteral("price"), number(asked));
    return json(200, itemBody(item, {}));
}

}  // namespace sim
