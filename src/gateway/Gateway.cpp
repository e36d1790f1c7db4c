#include "Gateway.h"

#include "JSON.h"

#include <QCryptographicHash>
#include <QMutexLocker>
#include <QSet>
#include <QThread>

#include <algorithm>

namespace gateway {

using json::Collection;
using json::Decimal;
using json::Dictionary;
using json::JsonValue;

// --- small pieces shared by the endpoints -----------------------------------------------------------------------

QByteArray Request::queryValue(const QByteArray& key) const {
    for (const auto& [k, v] : query) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

bool Request::hasQuery(const QByteArray& key) const {
    return std::any_of(query.begin(), query.end(), [&](const auto& pair) { return pair.first == key; });
}

QByteArray Request::header(const QByteArray& lowerName) const {
    for (const auto& [k, v] : headers) {
        if (k == lowerName) {
            return v;
        }
    }
    return {};
}

qint64 SystemClock::steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SystemClock::sleepMs(qint64 ms) {
    QThread::msleep(static_cast<unsigned long>(std::max<qint64>(ms, 0)));
}

QList<QPair<QByteArray, QByteArray>> splitQuery(QByteArrayView query) {
    QList<QPair<QByteArray, QByteArray>> out;
    for (const QByteArray& part : query.toByteArray().split('&')) {
        if (part.isEmpty()) {
            continue;
        }
        const qsizetype eq = part.indexOf('=');
        out.append(eq < 0 ? qMakePair(part, QByteArray()) : qMakePair(part.left(eq), part.mid(eq + 1)));
    }
    return out;
}

void splitTarget(QByteArrayView target, QByteArray* path, QList<QPair<QByteArray, QByteArray>>* query) {
    const qsizetype q = target.indexOf('?');
    *path = (q < 0 ? target : target.first(q)).toByteArray();
    *query = q < 0 ? QList<QPair<QByteArray, QByteArray>>() : splitQuery(target.sliced(q + 1));
}

QByteArray formEncode(QByteArrayView value) {
    return value.toByteArray().toPercentEncoding();
}

QByteArray percentDecode(QByteArrayView value) {
    QByteArray plus = value.toByteArray();
    plus.replace('+', ' ');
    return QByteArray::fromPercentEncoding(plus);
}

namespace {

Response plain(const QByteArray& text) {
    Response r;
    r.body = text;
    return r;
}

Response plain(const char* text) {
    return plain(QByteArray(text));
}

QByteArray htmlEscape(const QString& text) {
    return text.toHtmlEscaped().toUtf8();
}

// The pages' one style sheet, inline; the security policy allows it by its digest and nothing else.
const QByteArray PageStyle =
    "body{font-family:'Liberation Sans',Arial,sans-serif;max-width:34em;margin:4em auto;padding:0 1.5em;"
    "line-height:1.5;color:#222}h1{font-size:1.5em;margin-bottom:.5em}p{font-size:1.1em}";

// A page for the browser: plain HTML, no scripts, nothing loaded from elsewhere.
Response page(int status, const QString& title, const QString& text) {
    static const QByteArray policy = "default-src 'none'; style-src 'sha256-" +
                                     QCryptographicHash::hash(PageStyle, QCryptographicHash::Sha256).toBase64() + "'";
    Response r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.headers.append(qMakePair(QByteArray("Content-Security-Policy"), policy));
    r.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    r.headers.append(qMakePair(QByteArray("Referrer-Policy"), QByteArray("no-referrer")));
    r.body = "<!DOCTYPE html>\n<html lang=\"es\"><head><meta charset=\"utf-8\"><title>Vantoria: " + htmlEscape(title) +
             "</title><meta name=\"viewport\" content=\"width=device-width\"><style>" + PageStyle +
             "</style></head><body><h1>" + htmlEscape(title) + "</h1><p>" + htmlEscape(text) + "</p></body></html>\n";
    return r;
}

QString plainText(const JsonValue& value) {
    if (value.isText()) {
        return value.text();
    }
    if (value.isNumber()) {
        return value.number().toText(u'.');
    }
    return {};
}

std::optional<JsonValue> parse(const QByteArray& body) {
    json::ParseOutcome outcome = json::parseJsonUtf8(body);
    return std::move(outcome.value);
}

bool plainId(const QString& id) {
    return !id.isEmpty() && id.size() <= 40 && std::all_of(id.begin(), id.end(), [](QChar c) {
        return c.isDigit() || (c.unicode() < 128 && c.isLetter());
    });
}

QByteArray sessionCookie(const Request& request) {
    for (const QByteArray& part : request.header("cookie").split(';')) {
        const QByteArray item = part.trimmed();
        const QByteArray prefix = QByteArray(SessionCookie) + '=';
        if (item.startsWith(prefix)) {
            return item.mid(prefix.size());
        }
    }
    return {};
}

// The sentence for a marketplace answer that did not do what was asked.
const char* causeOf(const ApiAnswer& answer) {
    switch (answer.status) {
        case 0:
            return texts::MarketDown;
        case 401:
            return texts::Relink;
        case 403:
            return texts::NotYours;
        case 404:
            return texts::NotFound;
        case 409:
            return texts::Busy;
        case 429:
            return texts::RateLimited;
        default:
            break;
    }
    if (answer.status >= 500) {
        return texts::MarketDown;
    }
    if (answer.status != 400) {
        return texts::Refused;
    }
    const std::optional<JsonValue> value = parse(answer.body);
    const Dictionary* d = value ? value->asDictionary() : nullptr;
    if (!d) {
        return texts::Refused;
    }
    if (plainText(d->Item(u"error")) == u"item.price.not_modifiable") {
        return texts::Automated;
    }
    const Collection* causes = d->Item(u"cause").asCollection();
    for (const JsonValue& cause : causes ? causes->items() : std::span<const JsonValue>{}) {
        const Dictionary* c = cause.asDictionary();
        if (!c) {
            continue;
        }
        const QString code = plainText(c->Item(u"code"));
        const QString id = plainText(c->Item(u"cause_id"));
        if (code == u"item.price.not_modifiable") {
            return texts::Automated;
        }
        if (code == u"109" || id == u"109") {
            return texts::BelowMinimum;
        }
        if (code == u"129" || id == u"129") {
            return texts::TooHigh;
        }
    }
    return texts::Refused;
}

bool hasAutomationWarning(const Dictionary& body) {
    const Collection* warnings = body.Item(u"warnings").asCollection();
    if (!warnings) {
        return false;
    }
    return std::any_of(warnings->begin(), warnings->end(), [](const JsonValue& w) {
        const Dictionary* d = w.asDictionary();
        return d && plainText(d->Item(u"code")) == u"item.price.not_modifiable";
    });
}

enum class Shown { Absent, Matches, Differs };

// Whether an item's body shows `price` everywhere it was sent, or carries no price at all.
Shown showsPrice(const Dictionary& body, const Decimal& price, bool variations) {
    if (variations) {
        const Collection* list = body.Item(u"variations").asCollection();
        if (!list || list->Count() == 0) {
            return Shown::Absent;
        }
        const bool all = std::all_of(list->begin(), list->end(), [&](const JsonValue& v) {
            const Dictionary* d = v.asDictionary();
            return d && d->Item(u"price").isNumber() && d->Item(u"price").number() == price;
        });
        return all ? Shown::Matches : Shown::Differs;
    }
    const JsonValue& p = body.Item(u"price");
    if (!p.isNumber()) {
        return Shown::Absent;
    }
    return p.number() == price ? Shown::Matches : Shown::Differs;
}

QString clockText(qint64 secs) {
    return QDateTime::fromSecsSinceEpoch(secs).toLocalTime().toString(QStringLiteral("HH:mm"));
}

}  // namespace

std::optional<QString> roundPrice(const QString& text, int places) {
    if (text.isEmpty() || text.size() > 40 || places < 0 || places > 10) {
        return std::nullopt;
    }
    const qsizetype dot = text.indexOf(u'.');
    QString whole = dot < 0 ? text : text.left(dot);
    QString fraction = dot < 0 ? QString() : text.mid(dot + 1);
    const auto digits = [](const QString& s) {
        return std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    };
    if (whole.isEmpty() || !digits(whole) || !digits(fraction) || (dot >= 0 && fraction.isEmpty())) {
        return std::nullopt;
    }
    const bool up = fraction.size() > places && fraction.at(places) >= u'5';
    fraction = fraction.left(places);
    QString all = whole + fraction;
    if (up) {
        qsizetype i = all.size() - 1;
        while (i >= 0 && all.at(i) == u'9') {
            all[i] = u'0';
            --i;
        }
        if (i < 0) {
            all.prepend(u'1');
        } else {
            all[i] = QChar(all.at(i).unicode() + 1);
        }
    }
    whole = all.left(all.size() - fraction.size());
    fraction = all.right(fraction.size());
    while (whole.size() > 1 && whole.startsWith(u'0')) {
        whole.remove(0, 1);
    }
    while (fraction.endsWith(u'0')) {
        fraction.chop(1);
    }
    if (whole == u"0" && fraction.isEmpty()) {
        return std::nullopt;
    }
    return fraction.isEmpty() ? whole : whole + u'.' + fraction;
}

// --- the gateway ---------------------------------------------------------------------------------------------

struct Gateway::Call {
    QString sellerId;
    QByteArray token;
    qint64 now = 0;
    qint64 start = 0;
    bool refreshed = false;
    TokenStatus tokenFailure = TokenStatus::Ok;
    int lastStatus = 0;
};

struct Gateway::PriceOutcome {
    QByteArray text;
    QString priceSet;
};

Gateway::Gateway(Store& store, MarketplaceClient& client, Clock& clock, const Sealer& sealer, GatewayConfig config)
    : store_(store),
      client_(client),
      clock_(clock),
      sealer_(sealer),
      config_(std::move(config)),
      keeper_(store, client, clock, sealer, config_.oauth, config_.callTimeoutMs),
      dummyHash_(hashPassword(randomToken(16), config_.cost)) {}

Response Gateway::handle(const Request& request) {
    const QByteArray& path = request.path;
    if (path == SignInPath) {
        return signIn(request);
    }
    if (path == SearchPath) {
        return search(request);
    }
    if (path == PricePath) {
        return price(request);
    }
    if (path == PausePath) {
        return pause(request);
    }
    if (path.startsWith("/vincular/") && request.method == "GET") {
        return linkPage(request, path.mid(10));
    }
    if (path == "/oauth/callback" && request.method == "GET") {
        return callback(request);
    }
    Response r = plain("No encontrado.");
    r.status = 404;
    return r;
}

Gateway::SessionState Gateway::session(const Request& request, Session* out, QByteArray* idHash) {
    const QByteArray id = sessionCookie(request);
    if (id.isEmpty()) {
        return SessionState::Missing;
    }
    *idHash = digestHex(id);
    bool failed = false;
    std::optional<Session> found = store_.session(*idHash, &failed);
    if (!found) {
        // A store that cannot answer is not a missing session: the window would ask the operator to sign in again.
        return failed ? SessionState::Broken : SessionState::Missing;
    }
    const qint64 now = request.now.toSecsSinceEpoch();
    if (now - found->lastSeen > SessionIdleSeconds) {
        store_.removeSession(*idHash);
        return SessionState::Expired;
    }
    if (!store_.touchSession(*idHash, now)) {
        return SessionState::Broken;
    }
    *out = std::move(*found);
    return SessionState::Ok;
}

namespace {

const char* tokenText(TokenStatus status) {
    switch (status) {
        case TokenStatus::Ok:
            return "";
        case TokenStatus::NotLinked:
            return texts::NotLinked;
        case TokenStatus::Relink:
            return texts::Relink;
        case TokenStatus::Unavailable:
            return texts::MarketDown;
        case TokenStatus::StoreFailure:
            return texts::StoreDown;
    }
    return texts::StoreDown;
}

}  // namespace

QString Gateway::callerAddress(const Request& request) {
    // Behind the proxy every peer is this machine; the proxy names the caller. No one else is believed.
    const bool local = request.peer == u"127.0.0.1" || request.peer == u"::1" || request.peer.startsWith(u"127.");
    const QByteArray forwarded = request.header("x-real-ip").trimmed();
    if (local && !forwarded.isEmpty() && forwarded.size() <= 64) {
        return QString::fromLatin1(forwarded);
    }
    return request.peer;
}

qint64 Gateway::addressLockedUntil(const QString& address, qint64 now) {
    QMutexLocker lock(&addressMutex_);
    const auto found = addressFailures_.constFind(address);
    if (found == addressFailures_.cend() || found->size() < MaxAddressFailures) {
        return 0;
    }
    const qint64 until = found->at(found->size() - MaxAddressFailures) + AddressWindowSeconds;
    return until > now ? until : 0;
}

void Gateway::addAddressFailure(const QString& address, qint64 now) {
    QMutexLocker lock(&addressMutex_);
    // The table stays bounded: addresses without a failure in the window leave it first.
    constexpr qsizetype Tidy = 10000;
    constexpr qsizetype Ceiling = 100000;
    if (addressFailures_.size() >= Tidy && !addressFailures_.contains(address)) {
        addressFailures_.removeIf(
            [now](const auto& entry) { return entry.value().last() <= now - AddressWindowSeconds; });
        if (addressFailures_.size() >= Ceiling) {
            return;
        }
    }
    QList<qint64>& times = addressFailures_[address];
    times.removeIf([now](qint64 t) { return t <= now - AddressWindowSeconds; });
    times.append(now);
    while (times.size() > MaxAddressFailures) {
        times.removeFirst();
    }
}

bool Gateway::checkPassword(const QByteArray& hash, const QByteArray& password, bool* busy) {
    // Each check takes the hash's memory; beyond a few at once callers wait, and past the wait they are told to
    // come back rather than letting the memory grow with the callers.
    if (!passwordChecks_.tryAcquire(1, 15000)) {
        *busy = true;
        return false;
    }
    const bool ok = verifyPassword(hash, password);
    passwordChecks_.release();
    return ok;
}

Response Gateway::signIn(const Request& request) {
    // The password is everything after the first "&fclave=". The window percent-encodes both fields, so that an
    // "&" or "=" typed in a password stays in it; a field sent as typed, without "%XX", reads the same ("+" is
    // never a blank here).
    const QByteArray body = request.body;
    const QByteArray userKey = "fusuario=";
    const QByteArray passwordKey = "&fclave=";
    const qsizetype split = body.indexOf(passwordKey);
    if (!body.startsWith(userKey) || split < 0) {
        return plain(texts::MissingCredentials);
    }
    const QString user =
        QString::fromUtf8(QByteArray::fromPercentEncoding(body.mid(userKey.size(), split - userKey.size())));
    const QByteArray password = QByteArray::fromPercentEncoding(body.mid(split + passwordKey.size()));
    if (user.isEmpty() || password.isEmpty()) {
        return plain(texts::MissingCredentials);
    }
    const qint64 now = request.now.toSecsSinceEpoch();
    const QString address = callerAddress(request);
    if (const qint64 until = addressLockedUntil(address, now); until > now) {
        return plain(QString::fromUtf8(texts::AddressLocked).arg(clockText(until)).toUtf8());
    }
    bool storeFailed = false;
    const std::optional<Account> account = store_.account(user, &storeFailed);
    if (storeFailed) {
        return plain(texts::StoreDown);
    }
    bool busy = false;
    if (!account) {
        // An unknown user costs the same check as a known one, so the answer time does not tell them apart.
        checkPassword(dummyHash_, password, &busy);
        if (busy) {
            return plain(texts::GatewayBusy);
        }
        addAddressFailure(address, now);
        return plain(texts::WrongCredentials);
    }
    if (account->lockedUntil > now) {
        addAddressFailure(address, now);
        return plain(QString::fromUtf8(texts::LockedUntil).arg(clockText(account->lockedUntil)).toUtf8());
    }
    if (!checkPassword(account->passwordHash, password, &busy)) {
        if (busy) {
            return plain(texts::GatewayBusy);
        }
        addAddressFailure(address, now);
        const std::optional<qint64> lockedUntil = store_.addFailure(user, MaxFailures, now + LockSeconds);
        if (!lockedUntil) {
            return plain(texts::StoreDown);
        }
        if (*lockedUntil > now) {
            return plain(QString::fromUtf8(texts::LockedUntil).arg(clockText(*lockedUntil)).toUtf8());
        }
        return plain(texts::WrongCredentials);
    }
    if (account->failures != 0 || account->lockedUntil != 0) {
        store_.setFailures(user, 0, 0);
    }
    if (account->sellerId.isEmpty()) {
        return plain(texts::NotLinked);
    }
    const AccessToken token = keeper_.valid(account->sellerId, now);
    if (token.status != TokenStatus::Ok) {
        return plain(tokenText(token.status));
    }
    const QByteArray id = randomToken(32);
    if (!store_.createSession(digestHex(id), user, account->sellerId, now)) {
        return plain(texts::StoreDown);
    }
    // Tidying comes after the session, so a store that refuses writes costs one wait, not one per statement.
    store_.purge(now, now - SessionIdleSeconds);
    Response r = plain(texts::SignedIn + account->sellerId.toUtf8());
    r.headers.append(
        qMakePair(QByteArray("Set-Cookie"), QByteArray(SessionCookie) + '=' + id + "; Secure; HttpOnly; Path=/"));
    return r;
}

Response Gateway::pause(const Request&) {
    return plain(QByteArray());
}

ApiAnswer Gateway::callApi(Call& c, const QByteArray& method, const QByteArray& target, const QByteArray& body,
                           bool retryNoAnswer) {
    bool retriedBusy = false;
    bool retriedFailure = false;
    int backoffs = 0;
    const auto wait = [&](qint64 ms) {
        if (clock_.steadyMs() - c.start + ms >= config_.budgetMs) {
            return false;
        }
        clock_.sleepMs(ms);
        return true;
    };
    while (true) {
        const qint64 left = config_.budgetMs - (clock_.steadyMs() - c.start);
        if (left <= 0) {
            c.lastStatus = 0;
            return {};
        }
        const ApiAnswer answer =
            client_.send({method, target, c.token, body, body.isEmpty() ? QByteArray() : QByteArray("application/json"),
                          static_cast<int>(std::min<qint64>(left, config_.callTimeoutMs))});
        c.lastStatus = answer.status;
        if (answer.status == 401 && !c.refreshed) {
            c.refreshed = true;
            const AccessToken fresh = keeper_.valid(c.sellerId, c.now, c.token);
            if (fresh.status != TokenStatus::Ok) {
                c.tokenFailure = fresh.status;
                return answer;
            }
            c.token = fresh.token;
            continue;
        }
        if (answer.status == 409 && !retriedBusy && wait(3000)) {
            retriedBusy = true;
            continue;
        }
        if (answer.status == 429 && backoffs < 3 && wait(2000LL << backoffs)) {
            ++backoffs;
            continue;
        }
        if (((answer.status == 0 && retryNoAnswer) || answer.status >= 500) && !retriedFailure) {
            retriedFailure = true;
            continue;
        }
        return answer;
    }
}

std::optional<int> Gateway::decimalPlaces(Call& c, const QString& currency) {
    {
        QMutexLocker lock(&currencyMutex_);
        const auto found = currencyPlaces_.constFind(currency);
        if (found != currencyPlaces_.cend()) {
            return *found;
        }
    }
    const ApiAnswer answer = callApi(c, "GET", "/currencies/" + currency.toUtf8());
    if (answer.status != 200) {
        return std::nullopt;
    }
    const std::optional<JsonValue> value = parse(answer.body);
    const Dictionary* d = value ? value->asDictionary() : nullptr;
    bool ok = false;
    const int places = d ? plainText(d->Item(u"decimal_places")).toInt(&ok) : 0;
    if (!ok || places < 0 || places > 10) {
        c.lastStatus = 0;
        return std::nullopt;
    }
    QMutexLocker lock(&currencyMutex_);
    currencyPlaces_.insert(currency, places);
    return places;
}

Gateway::PriceOutcome Gateway::changePrice(Call& c, const QString& item, const QString& asked) {
    const QByteArray itemPath = "/items/" + item.toUtf8();
    const auto failed = [&](const ApiAnswer& answer) -> PriceOutcome {
        if (c.tokenFailure != TokenStatus::Ok) {
            return {tokenText(c.tokenFailure), {}};
        }
        return {causeOf(answer), {}};
    };
    const ApiAnswer itemAnswer =
        callApi(c, "GET", itemPath + "?attributes=id,seller_id,status,currency_id,price,variations");
    if (itemAnswer.status != 200) {
        return failed(itemAnswer);
    }
    const std::optional<JsonValue> itemValue = parse(itemAnswer.body);
    const Dictionary* listing = itemValue ? itemValue->asDictionary() : nullptr;
    if (!listing) {
        return {texts::MarketDown, {}};
    }
    // Ownership comes from the marketplace, never from the request.
    if (plainText(listing->Item(u"seller_id")) != c.sellerId) {
        return {texts::NotYours, {}};
    }
    if (plainText(listing->Item(u"status")) != u"active") {
        return {texts::NotActive, {}};
    }
    QString currency = plainText(listing->Item(u"currency_id"));
    if (!plainId(currency)) {
        currency = QStringLiteral("VES");
    }
    const std::optional<int> places = decimalPlaces(c, currency);
    if (!places) {
        return c.tokenFailure != TokenStatus::Ok ? PriceOutcome{tokenText(c.tokenFailure), {}}
                                                 : PriceOutcome{texts::MarketDown, {}};
    }
    const std::optional<QString> rounded = roundPrice(asked, *places);
    Decimal price;
    if (!rounded || Decimal::parse(QStringView(*rounded), price) != Decimal::Status::Ok) {
        return {texts::BadPrice, {}};
    }

    Dictionary body;
    const Collection* variations = listing->Item(u"variations").asCollection();
    const bool classic = variations && variations->Count() > 0;
    if (classic) {
        // Every variation id goes with the same price: one left out would be deleted.
        Collection list;
        for (const JsonValue& v : *variations) {
            const Dictionary* d = v.asDictionary();
            if (!d || d->Item(u"id").isEmpty()) {
                return {texts::Refused, {}};
            }
            Dictionary entry;
            entry.Add(QStringLiteral("id"), d->Item(u"id"));
            entry.Add(QStringLiteral("price"), price);
            list.Add(JsonValue(std::move(entry)));
        }
        body.Add(QStringLiteral("variations"), JsonValue(std::move(list)));
    } else {
        body.Add(QStringLiteral("price"), price);
    }
    const QByteArray putBody = json::toCanonicalUtf8(JsonValue(std::move(body)));
    // What the item holds now, read back from the marketplace.
    const auto readBack = [&]() {
        const ApiAnswer check = callApi(c, "GET", itemPath + "?attributes=id,price,variations");
        const std::optional<JsonValue> checkValue = check.status == 200 ? parse(check.body) : std::nullopt;
        const Dictionary* now = checkValue ? checkValue->asDictionary() : nullptr;
        return now ? showsPrice(*now, price, classic) : Shown::Absent;
    };
    ApiAnswer put = callApi(c, "PUT", itemPath, putBody, false);
    if (put.status == 0 && c.tokenFailure == TokenStatus::Ok) {
        // No answer (time-out, dropped connection): the price may have landed. It is read back before it is sent
        // again, so it is never applied twice, and a price the marketplace holds is reported as set.
        switch (readBack()) {
            case Shown::Matches:
                return {texts::PriceSet, *rounded};
            case Shown::Absent:
                return {texts::Unconfirmed, {}};
            case Shown::Differs:
                break;
        }
        put = callApi(c, "PUT", itemPath, putBody, false);
        if (put.status == 0) {
            return {texts::Unconfirmed, {}};
        }
    }
    if (put.status != 200) {
        return failed(put);
    }
    const std::optional<JsonValue> putValue = parse(put.body);
    const Dictionary* answered = putValue ? putValue->asDictionary() : nullptr;
    if (answered && hasAutomationWarning(*answered)) {
        return {texts::Automated, {}};
    }
    Shown shown = answered ? showsPrice(*answered, price, classic) : Shown::Absent;
    if (shown == Shown::Absent) {
        // A PUT may answer an empty object; only a read of the item tells what it holds now.
        shown = readBack();
    }
    if (shown != Shown::Matches) {
        return {texts::Unconfirmed, {}};
    }
    return {texts::PriceSet, *rounded};
}

Response Gateway::price(const Request& request) {
    AuditRow row;
    row.at = request.now.toUTC().toString(Qt::ISODate);
    row.item = QString::fromUtf8(request.queryValue("item_id"));
    row.priceAsked = QString::fromUtf8(request.queryValue("precio_item"));
    Call c;
    std::optional<qint64> pending;
    const auto finish = [&](const QByteArray& text) {
        row.outcome = QString::fromUtf8(text);
        row.marketStatus = c.lastStatus;
        if (pending) {
            store_.finishAudit(*pending, row);
        } else {
            store_.addAudit(row);
        }
        return plain(text);
    };
    Session s;
    QByteArray idHash;
    switch (session(request, &s, &idHash)) {
        case SessionState::Ok:
            break;
        case SessionState::Missing:
            return finish(texts::NoSession);
        case SessionState::Expired:
            return finish(texts::SessionExpired);
        case SessionState::Broken:
            // The store refuses writes: the audit could not take the row either.
            return plain(texts::StoreDown);
    }
    row.user = s.user;
    row.sellerId = s.sellerId;
    if (request.queryValue("men") != "480613") {
        return finish(texts::NotAuthorized);
    }
    if (!plainId(row.item)) {
        return finish(texts::NotFound);
    }
    if (!roundPrice(row.priceAsked, 10)) {
        return finish(texts::BadPrice);
    }
    // The request is in the audit before the marketplace hears of it: a store that cannot write stops it here,
    // and a process that ends before the outcome leaves the row "in course" rather than no row.
    row.outcome = QString::fromUtf8(AuditPending);
    pending = store_.beginAudit(row);
    if (!pending) {
        return plain(texts::StoreDown);
    }
    c.sellerId = s.sellerId;
    c.now = request.now.toSecsSinceEpoch();
    c.start = clock_.steadyMs();
    const AccessToken token = keeper_.valid(s.sellerId, c.now);
    if (token.status != TokenStatus::Ok) {
        return finish(tokenText(token.status));
    }
    c.token = token.token;
    const PriceOutcome outcome = changePrice(c, row.item, row.priceAsked);
    row.priceSet = outcome.priceSet;
    return finish(outcome.text);
}

std::optional<QStringList> Gateway::snapshot(Call& c, const QString& sellerId) {
    QStringList ids;
    QSet<QString> seen;
    const auto take = [&](const Dictionary& page) {
        const Collection* results = page.Item(u"results").asCollection();
        int added = 0;
        for (const JsonValue& id : results ? results->items() : std::span<const JsonValue>{}) {
            const QString text = plainText(id);
            ++added;
            if (plainId(text) && !seen.contains(text)) {
                seen.insert(text);
                ids.append(text);
            }
        }
        return added;
    };
    const QByteArray base = "/users/" + sellerId.toUtf8() + "/items/search?status=active";
    const auto get = [&](const QByteArray& target) -> std::optional<JsonValue> {
        const ApiAnswer answer = callApi(c, "GET", target);
        if (answer.status != 200) {
            return std::nullopt;
        }
        std::optional<JsonValue> value = parse(answer.body);
        if (!value || !value->isDictionary()) {
            c.lastStatus = 0;
            return std::nullopt;
        }
        return value;
    };
    std::optional<JsonValue> first = get(base + "&offset=0&limit=100");
    if (!first) {
        return std::nullopt;
    }
    const qint64 total = plainText(first->dictionary().Item(u"paging").asDictionary()
                                       ? first->dictionary().Item(u"paging").dictionary().Item(u"total")
                                       : JsonValue())
                             .toLongLong();
    // Offsets end at 1,000; a larger shop is read with a scan, whose pages follow one scroll id.
    constexpr qint64 OffsetCeiling = 1000;
    if (total <= OffsetCeiling) {
        take(first->dictionary());
        for (qint64 offset = 100; offset < total; offset += 100) {
            std::optional<JsonValue> next = get(base + "&offset=" + QByteArray::number(offset) + "&limit=100");
            if (!next) {
                return std::nullopt;
            }
            if (take(next->dictionary()) == 0) {
                break;
            }
        }
        return ids;
    }
    std::optional<JsonValue> page = get(base + "&search_type=scan&limit=100");
    const qint64 maxPages = total / 100 + 10;
    for (qint64 n = 0; page && n < maxPages; ++n) {
        if (take(page->dictionary()) == 0) {
            return ids;
        }
        const QString scroll = plainText(page->dictionary().Item(u"scroll_id"));
        if (scroll.isEmpty()) {
            return ids;
        }
        page = get(base + "&search_type=scan&limit=100&scroll_id=" + formEncode(scroll.toUtf8()));
    }
    if (!page) {
        return std::nullopt;
    }
    return ids;
}

Response Gateway::search(const Request& request) {
    Session s;
    QByteArray idHash;
    switch (session(request, &s, &idHash)) {
        case SessionState::Ok:
            break;
        case SessionState::Missing:
            return plain(texts::NoSession);
        case SessionState::Expired:
            return plain(texts::SessionExpired);
        case SessionState::Broken:
            return plain(texts::StoreDown);
    }
    if (QString::fromUtf8(request.queryValue("seller_id")) != s.sellerId) {
        return plain(texts::OtherSeller);
    }
    bool ok = true;
    const QByteArray offsetText = request.queryValue("offset");
    const qint64 offset = offsetText.isEmpty() ? 0 : offsetText.toLongLong(&ok);
    bool limitOk = true;
    const QByteArray limitText = request.queryValue("limit");
    const int limit = limitText.isEmpty() ? 20 : limitText.toInt(&limitOk);
    if (!ok || !limitOk || offset < 0 || limit < 1) {
        return plain(texts::BadSearch);
    }
    const int pageSize = std::min(limit, 20);

    Call c;
    c.sellerId = s.sellerId;
    c.now = request.now.toSecsSinceEpoch();
    c.start = clock_.steadyMs();
    const AccessToken token = keeper_.valid(s.sellerId, c.now);
    if (token.status != TokenStatus::Ok) {
        return plain(tokenText(token.status));
    }
    c.token = token.token;
    const auto failed = [&]() {
        if (c.tokenFailure != TokenStatus::Ok) {
            return plain(tokenText(c.tokenFailure));
        }
        return plain(c.lastStatus == 429   ? texts::RateLimited
                     : c.lastStatus == 401 ? texts::Relink
                                           : texts::MarketDown);
    };

    QStringList ids = s.snapshot;
    bool changed = false;
    // The first page fixes the list the later pages are cut from, so paging never skips or repeats a listing.
    if (offset == 0 || !s.hasSnapshot) {
        std::optional<QStringList> fresh = snapshot(c, s.sellerId);
        if (!fresh) {
            return failed();
        }
        ids = std::move(*fresh);
        changed = true;
    }

    Collection results;
    QStringList kept = ids.mid(0, static_cast<qsizetype>(std::min<qint64>(offset, ids.size())));
    qsizetype position = kept.size();
    while (position < ids.size() && results.Count() < pageSize) {
        const QStringList batch = ids.mid(position, pageSize - results.Count());
        position += batch.size();
        const ApiAnswer answer = callApi(
            c, "GET",
            "/items?ids=" + batch.join(u',').toUtf8() + "&attributes=id,title,price,currency_id,permalink,status");
        const std::optional<JsonValue> value = answer.status == 200 ? parse(answer.body) : std::nullopt;
        const Collection* entries = value ? value->asCollection() : nullptr;
        if (!entries) {
            return failed();
        }
        QHash<QString, const Dictionary*> bodies;
        for (const JsonValue& entry : *entries) {
            const Dictionary* d = entry.asDictionary();
            const Dictionary* body = d ? d->Item(u"body").asDictionary() : nullptr;
            if (body && plainText(d->Item(u"code")) == u"200") {
                bodies.insert(plainText(body->Item(u"id")), body);
            }
        }
        for (const QString& id : batch) {
            const Dictionary* body = bodies.value(id);
            if (!body) {
                // A listing the marketplace no longer returns leaves the list, so the count stays true.
                changed = true;
                continue;
            }
            Dictionary result;
            for (const char16_t* key : {u"id", u"title", u"price", u"currency_id", u"permalink"}) {
                const JsonValue& field = body->Item(key);
                result.Add(QString::fromUtf16(key), field.isEmpty() ? JsonValue::null() : field);
            }
            results.Add(JsonValue(std::move(result)));
            kept.append(id);
        }
    }
    kept += ids.mid(position);
    if (changed && !store_.setSnapshot(idHash, kept)) {
        return plain(texts::StoreDown);
    }

    const Decimal total = Decimal::fromInteger(kept.size());
    Dictionary paging;
    paging.Add(QStringLiteral("total"), total);
    paging.Add(QStringLiteral("primary_results"), total);
    paging.Add(QStringLiteral("offset"), Decimal::fromInteger(offset));
    paging.Add(QStringLiteral("limit"), Decimal::fromInteger(pageSize));
    Dictionary answer;
    answer.Add(QStringLiteral("paging"), JsonValue(std::move(paging)));
    answer.Add(QStringLiteral("results"), JsonValue(std::move(results)));
    Response r;
    r.contentType = "application/json; charset=utf-8";
    r.body = json::toCanonicalUtf8(JsonValue(std::move(answer)));
    return r;
}

// --- linking a seller ------------------------------------------------------------------------------------------

std::optional<QByteArray> Gateway::createLink(const QString& user, qint64 now) {
    const QByteArray token = randomToken(32);
    if (!store_.addLink(digestHex(token), user, now + 24 * 3600)) {
        return std::nullopt;
    }
    return config_.publicBase + "/vincular/" + token;
}

Response Gateway::linkPage(const Request& request, const QByteArray& token) {
    const qint64 now = request.now.toSecsSinceEpoch();
    const QByteArray linkHash = digestHex(token);
    const std::optional<QString> user = store_.linkUser(linkHash, now);
    if (!user) {
        return page(404, QStringLiteral("Enlace no válido"),
                    QStringLiteral("El enlace de vinculación no es válido o ya venció. Pida uno nuevo al "
                                   "administrador de la pasarela."));
    }
    const QByteArray state = randomToken(32);
    const QByteArray verifier = randomToken(48);
    if (!store_.addState(digestHex(state), {*user, linkHash, sealer_.seal(verifier)}, now + 600)) {
        return page(500, QStringLiteral("Error"), QString::fromUtf8(texts::StoreDown));
    }
    QByteArray location = config_.authUrl;
    location += location.contains('?') ? '&' : '?';
    location += "response_type=code&client_id=" + formEncode(config_.oauth.clientId) +
                "&redirect_uri=" + formEncode(config_.oauth.redirectUri) + "&state=" + state +
                "&code_challenge=" + pkceChallenge(verifier) + "&code_challenge_method=S256";
    Response r =
        page(302, QStringLiteral("Vinculación"), QStringLiteral("Siga a la página de autorización de Mercado Libre."));
    r.headers.append(qMakePair(QByteArray("Location"), location));
    return r;
}

Response Gateway::callback(const Request& request) {
    const qint64 now = request.now.toSecsSinceEpoch();
    const QString failTitle = QStringLiteral("Cuenta no vinculada");
    const std::optional<OAuthState> state =
        store_.takeState(digestHex(percentDecode(request.queryValue("state"))), now);
    if (!state) {
        return page(400, failTitle,
                    QStringLiteral("La vinculación no es válida o venció. Abra de nuevo el enlace de vinculación."));
    }
    // The link is spent by the first seller that completes it: a second browser that opened it meanwhile links
    // nothing, and its code is never exchanged.
    if (!store_.linkUser(state->linkHash, now)) {
        return page(400, failTitle,
                    QStringLiteral("El enlace de vinculación ya se usó o venció. Pida uno nuevo al administrador de "
                                   "la pasarela."));
    }
    const QByteArray code = percentDecode(request.queryValue("code"));
    if (code.isEmpty()) {
        return page(
            400, failTitle,
            QStringLiteral("Mercado Libre no autorizó la vinculación. Abra de nuevo el enlace de vinculación."));
    }
    const std::optional<QByteArray> verifier = sealer_.open(state->verifierSealed);
    int status = 0;
    const std::optional<TokenPair> pair = verifier ? keeper_.exchangeCode(code, *verifier, &status) : std::nullopt;
    if (!pair) {
        return page(
            502, failTitle,
            QStringLiteral("Mercado Libre no entregó la autorización. Abra de nuevo el enlace de vinculación."));
    }
    const ApiAnswer me = client_.send({"GET", "/users/me", pair->access, {}, {}, config_.callTimeoutMs});
    const std::optional<JsonValue> meValue = me.status == 200 ? parse(me.body) : std::nullopt;
    const Dictionary* meBody = meValue ? meValue->asDictionary() : nullptr;
    const QString sellerId = meBody ? plainText(meBody->Item(u"id")) : QString();
    if (!plainId(sellerId)) {
        return page(
            502, failTitle,
            QStringLiteral("Mercado Libre no dijo qué cuenta autorizó. Abra de nuevo el enlace de vinculación."));
    }
    // The pair is committed before the account points at the seller, so a linked account always has tokens.
    if (!keeper_.store(sellerId, *pair, now) || !store_.setSeller(state->user, sellerId)) {
        return page(500, failTitle, QString::fromUtf8(texts::StoreDown));
    }
    store_.removeLink(state->linkHash);
    return page(200, QStringLiteral("Cuenta vinculada"),
                QStringLiteral("La cuenta %1 quedó vinculada con el vendedor %2 de Mercado Libre. Ya puede cerrar "
                               "esta ventana.")
                    .arg(state->user, sellerId));
}

}  // namespace gateway
