#include "Tokens.h"

#include "JSON.h"

#include <QSysInfo>

#include <cerrno>

#include <signal.h>
#include <unistd.h>

namespace gateway {

namespace {

QString plainText(const json::JsonValue& value) {
    if (value.isText()) {
        return value.text();
    }
    if (value.isNumber()) {
        return value.number().toText(u'.');
    }
    return {};
}

// "machine:boot:pid:random": who holds a refresh lock, so that a process on the same machine can tell a holder that
// ended without unlocking (killed, crashed) from one still refreshing.
QByteArray holderName() {
    static const QByteArray machine = QSysInfo::machineUniqueId().toHex();
    static const QByteArray boot = QSysInfo::bootUniqueId().toHex();
    return machine + ':' + boot + ':' + QByteArray::number(::getpid()) + ':' + randomToken(12);
}

// Whether the holder ran on this machine and has ended: its boot is over, or no process has its pid. A holder on
// another machine is never judged; its lock lapses with its lease.
bool holderEnded(const QByteArray& holder) {
    const QList<QByteArray> parts = holder.split(':');
    const QByteArray mine = holderName();
    const QList<QByteArray> own = mine.split(':');
    if (parts.size() != 4 || parts[0].isEmpty() || parts[0] != own[0]) {
        return false;
    }
    if (parts[1] != own[1]) {
        return true;
    }
    bool ok = false;
    const qint64 pid = parts[2].toLongLong(&ok);
    if (!ok || pid <= 0 || pid == ::getpid()) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::optional<TokenPair> readTokenAnswer(const QByteArray& body) {
    const json::ParseOutcome parsed = json::parseJsonUtf8(body);
    const json::Dictionary* d = parsed.value ? parsed.value->asDictionary() : nullptr;
    if (!d) {
        return std::nullopt;
    }
    TokenPair pair;
    pair.access = plainText(d->Item(u"access_token")).toUtf8();
    pair.refresh = plainText(d->Item(u"refresh_token")).toUtf8();
    pair.expiresIn = plainText(d->Item(u"expires_in")).toLongLong();
    pair.userId = plainText(d->Item(u"user_id"));
    if (pair.access.isEmpty() || pair.refresh.isEmpty()) {
        return std::nullopt;
    }
    if (pair.expiresIn <= 0) {
        pair.expiresIn = 6 * 3600;
    }
    return pair;
}

TokenKeeper::TokenKeeper(Store& store, MarketplaceClient& client, Clock& clock, const Sealer& sealer, OAuthClient oauth,
                         int timeoutMs)
    : store_(store), client_(client), clock_(clock), sealer_(sealer), oauth_(std::move(oauth)), timeoutMs_(timeoutMs) {}

TokenKeeper::Read TokenKeeper::read(const QString& sellerId, qint64 now, const QByteArray& refused, QByteArray* access,
                                    QByteArray* refresh) {
    bool failed = false;
    const std::optional<SellerTokens> tokens = store_.tokens(sellerId, &failed);
    if (failed) {
        return Read::Broken;
    }
    if (!tokens) {
        return Read::Missing;
    }
    if (tokens->relink) {
        return Read::Relink;
    }
    const std::optional<QByteArray> a = sealer_.open(tokens->accessSealed);
    const std::optional<QByteArray> r = sealer_.open(tokens->refreshSealed);
    if (!a || !r) {
        return Read::Broken;
    }
    *access = *a;
    *refresh = *r;
    if (!refused.isEmpty()) {
        return *a == refused ? Read::Stale : Read::Fresh;
    }
    return tokens->expiresAt - now >= RefreshMargin ? Read::Fresh : Read::Stale;
}

AccessToken TokenKeeper::valid(const QString& sellerId, qint64 now, const QByteArray& refused) {
    const qint64 start = clock_.steadyMs();
    const QByteArray holder = holderName();
    int takeovers = 0;
    while (true) {
        QByteArray access;
        QByteArray refresh;
        Read state = read(sellerId, now, refused, &access, &refresh);
        switch (state) {
            case Read::Fresh:
                return {TokenStatus::Ok, access};
            case Read::Missing:
                return {TokenStatus::NotLinked, {}};
            case Read::Relink:
                return {TokenStatus::Relink, {}};
            case Read::Broken:
                return {TokenStatus::StoreFailure, {}};
            case Read::Stale:
                break;
        }
        if (store_.tryLock(sellerId, holder, now, now + LockLease)) {
            // Another process may have refreshed between our read and the lock.
            state = read(sellerId, now, refused, &access, &refresh);
            if (state != Read::Stale) {
                store_.unlock(sellerId, holder);
                continue;
            }
            const QByteArray body = "grant_type=refresh_token&client_id=" + formEncode(oauth_.clientId) +
                                    "&client_secret=" + formEncode(oauth_.clientSecret) +
                                    "&refresh_token=" + formEncode(refresh);
            const ApiAnswer answer =
                client_.send({"POST", "/oauth/token", {}, body, "application/x-www-form-urlencoded", timeoutMs_});
            AccessToken result{TokenStatus::Unavailable, {}};
            if (answer.status == 200) {
                const std::optional<TokenPair> pair = readTokenAnswer(answer.body);
                if (pair && store(sellerId, *pair, now)) {
                    result = {TokenStatus::Ok, pair->access};
                } else if (pair) {
                    result = {TokenStatus::StoreFailure, {}};
                }
            } else if (answer.status == 400 || answer.status == 401) {
                // The refresh token is dead (used, revoked or expired): only the seller can authorize again.
                store_.markRelink(sellerId);
                result = {TokenStatus::Relink, {}};
            }
            store_.unlock(sellerId, holder);
            return result;
        }
        // A holder of this machine that was killed mid-refresh leaves its lock behind; it is not waited out.
        if (const std::optional<QByteArray> other = store_.lockHolder(sellerId);
            other && takeovers < 3 && holderEnded(*other)) {
            ++takeovers;
            store_.unlock(sellerId, *other);
            continue;
        }
        if (clock_.steadyMs() - start > LockWaitMs) {
            return {TokenStatus::Unavailable, {}};
        }
        clock_.sleepMs(50);
    }
}

std::optional<TokenPair> TokenKeeper::exchangeCode(const QByteArray& code, const QByteArray& verifier, int* status) {
    const QByteArray body = "grant_type=authorization_code&client_id=" + formEncode(oauth_.clientId) +
                            "&client_secret=" + formEncode(oauth_.clientSecret) + "&code=" + formEncode(code) +
                            "&redirect_uri=" + formEncode(oauth_.redirectUri) +
                            "&code_verifier=" + formEncode(verifier);
    const ApiAnswer answer =
        client_.send({"POST", "/oauth/token", {}, body, "application/x-www-form-urlencoded", timeoutMs_});
    *status = answer.status;
    if (answer.status != 200) {
        return std::nullopt;
    }
    return readTokenAnswer(answer.body);
}

bool TokenKeeper::store(const QString& sellerId, const TokenPair& pair, qint64 now) {
    return store_.saveTokens(sellerId, sealer_.seal(pair.access), sealer_.seal(pair.refresh), now + pair.expiresIn);
}

}  // namespace gateway
