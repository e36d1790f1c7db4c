// Signing in and sessions: the session cookie's check, the password check, and the locks on a user and on an
// address after failed sign-ins.

#include "GatewayParts.h"

#include <QMutexLocker>

namespace gateway {

namespace {

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

}  // namespace

const char* Gateway::refusal(SessionState state) {
    switch (state) {
        case SessionState::Ok:
            return nullptr;
        case SessionState::Missing:
            return texts::NoSession;
        case SessionState::Expired:
            return texts::SessionExpired;
        case SessionState::Broken:
            return texts::StoreDown;
    }
    return texts::StoreDown;
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

}  // namespace gateway
