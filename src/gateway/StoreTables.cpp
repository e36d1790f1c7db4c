// The store's reads and writes, table by table: accounts, token pairs and their locks, sessions, link pages, OAuth
// states, and the price audit.

#include "StoreStatement.h"

#include <QVariant>

namespace gateway {

std::optional<Account> Store::account(const QString& user, bool* failed) {
    Statement s = run(
        "SELECT \"user\", password_hash, seller_id, failures, locked_until FROM accounts WHERE \"user\" = ?", {user});
    if (failed) {
        *failed = !s.ok;
    }
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    return Account{s.query.value(0).toString(), s.query.value(1).toByteArray(), s.query.value(2).toString(),
                   s.query.value(3).toInt(), s.query.value(4).toLongLong()};
}

QList<Account> Store::accounts() {
    Statement s =
        run("SELECT \"user\", password_hash, seller_id, failures, locked_until FROM accounts ORDER BY \"user\"", {});
    QList<Account> out;
    while (s.ok && s.query.next()) {
        out.append(Account{s.query.value(0).toString(), s.query.value(1).toByteArray(), s.query.value(2).toString(),
                           s.query.value(3).toInt(), s.query.value(4).toLongLong()});
    }
    return out;
}

bool Store::addAccount(const QString& user, const QByteArray& passwordHash) {
    Statement s =
        run("INSERT INTO accounts (\"user\", password_hash) VALUES (?, ?)", {user, QString::fromUtf8(passwordHash)});
    return s.ok;
}

bool Store::setPassword(const QString& user, const QByteArray& passwordHash) {
    Statement s = run("UPDATE accounts SET password_hash = ?, failures = 0, locked_until = 0 WHERE \"user\" = ?",
                      {QString::fromUtf8(passwordHash), user});
    return s.ok && s.query.numRowsAffected() == 1;
}

bool Store::removeAccount(const QString& user) {
    Statement s = run("DELETE FROM accounts WHERE \"user\" = ?", {user});
    if (!s.ok || s.query.numRowsAffected() != 1) {
        return false;
    }
    run("DELETE FROM sessions WHERE \"user\" = ?", {user});
    run("DELETE FROM links WHERE \"user\" = ?", {user});
    // Tokens of a seller no other account uses go with the account.
    run("DELETE FROM sellers WHERE seller_id NOT IN (SELECT seller_id FROM accounts)", {});
    return true;
}

bool Store::setFailures(const QString& user, int failures, qint64 lockedUntil) {
    Statement s =
        run("UPDATE accounts SET failures = ?, locked_until = ? WHERE \"user\" = ?", {failures, lockedUntil, user});
    return s.ok;
}

std::optional<qint64> Store::addFailure(const QString& user, int limit, qint64 lockUntil) {
    Statement s =
        run("UPDATE accounts SET locked_until = CASE WHEN failures + 1 >= ? THEN ? ELSE locked_until END, failures "
            "= CASE WHEN failures + 1 >= ? THEN 0 ELSE failures + 1 END WHERE \"user\" = ?",
            {limit, lockUntil, limit, user});
    if (!s.ok) {
        return std::nullopt;
    }
    Statement after = run("SELECT locked_until FROM accounts WHERE \"user\" = ?", {user});
    if (!after.ok || !after.query.next()) {
        return std::nullopt;
    }
    return after.query.value(0).toLongLong();
}

bool Store::setSeller(const QString& user, const QString& sellerId) {
    Statement s = run("UPDATE accounts SET seller_id = ? WHERE \"user\" = ?", {sellerId, user});
    return s.ok && s.query.numRowsAffected() == 1;
}

std::optional<SellerTokens> Store::tokens(const QString& sellerId, bool* failed) {
    Statement s =
        run("SELECT access_sealed, refresh_sealed, expires_at, relink FROM sellers WHERE seller_id = ?", {sellerId});
    if (failed) {
        *failed = !s.ok;
    }
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    return SellerTokens{s.query.value(0).toByteArray(), s.query.value(1).toByteArray(), s.query.value(2).toLongLong(),
                        s.query.value(3).toInt() != 0};
}

bool Store::saveTokens(const QString& sellerId, const QByteArray& accessSealed, const QByteArray& refreshSealed,
                       qint64 expiresAt) {
    // The old refresh token is spent already: this commit is flushed to the disk, to survive a power cut.
    QSqlDatabase db = connection();
    if (!postgres_) {
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=FULL"));
    }
    Statement s =
        run("INSERT INTO sellers (seller_id, access_sealed, refresh_sealed, expires_at, relink) VALUES (?, ?, ?, "
            "?, 0) ON CONFLICT(seller_id) DO UPDATE SET access_sealed = excluded.access_sealed, refresh_sealed = "
            "excluded.refresh_sealed, expires_at = excluded.expires_at, relink = 0",
            {sellerId, QString::fromLatin1(accessSealed), QString::fromLatin1(refreshSealed), expiresAt});
    if (!postgres_) {
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }
    return s.ok;
}

bool Store::markRelink(const QString& sellerId) {
    Statement s = run("UPDATE sellers SET relink = 1 WHERE seller_id = ?", {sellerId});
    return s.ok;
}

bool Store::tryLock(const QString& sellerId, const QByteArray& holder, qint64 now, qint64 until) {
    run("DELETE FROM refresh_locks WHERE seller_id = ? AND until < ?", {sellerId, now});
    // The insert is the one atomic step: of several callers, exactly one adds the row.
    Statement s =
        run("INSERT INTO refresh_locks (seller_id, holder, until) VALUES (?, ?, ?) ON CONFLICT (seller_id) DO NOTHING",
            {sellerId, QString::fromLatin1(holder), until});
    return s.ok && s.query.numRowsAffected() == 1;
}

void Store::unlock(const QString& sellerId, const QByteArray& holder) {
    run("DELETE FROM refresh_locks WHERE seller_id = ? AND holder = ?", {sellerId, QString::fromLatin1(holder)});
}

std::optional<QByteArray> Store::lockHolder(const QString& sellerId) {
    Statement s = run("SELECT holder FROM refresh_locks WHERE seller_id = ?", {sellerId});
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    return s.query.value(0).toString().toLatin1();
}

bool Store::createSession(const QByteArray& idHash, const QString& user, const QString& sellerId, qint64 now) {
    Statement s = run("INSERT INTO sessions (id_hash, \"user\", seller_id, last_seen) VALUES (?, ?, ?, ?)",
                      {QString::fromLatin1(idHash), user, sellerId, now});
    return s.ok;
}

std::optional<Session> Store::session(const QByteArray& idHash, bool* failed) {
    Statement s = run("SELECT \"user\", seller_id, last_seen, has_snapshot, snapshot FROM sessions WHERE id_hash = ?",
                      {QString::fromLatin1(idHash)});
    if (failed) {
        *failed = !s.ok;
    }
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    Session session{s.query.value(0).toString(),
                    s.query.value(1).toString(),
                    s.query.value(2).toLongLong(),
                    s.query.value(3).toInt() != 0,
                    {}};
    const QString snapshot = s.query.value(4).toString();
    if (!snapshot.isEmpty()) {
        session.snapshot = snapshot.split(u',');
    }
    return session;
}

bool Store::touchSession(const QByteArray& idHash, qint64 now) {
    Statement s = run("UPDATE sessions SET last_seen = ? WHERE id_hash = ?", {now, QString::fromLatin1(idHash)});
    return s.ok;
}

bool Store::removeSession(const QByteArray& idHash) {
    Statement s = run("DELETE FROM sessions WHERE id_hash = ?", {QString::fromLatin1(idHash)});
    return s.ok;
}

bool Store::setSnapshot(const QByteArray& idHash, const QStringList& ids) {
    Statement s = run("UPDATE sessions SET has_snapshot = 1, snapshot = ? WHERE id_hash = ?",
                      {ids.join(u','), QString::fromLatin1(idHash)});
    return s.ok;
}

bool Store::addLink(const QByteArray& linkHash, const QString& user, qint64 expiresAt) {
    Statement s = run("INSERT INTO links (link_hash, \"user\", expires_at) VALUES (?, ?, ?)",
                      {QString::fromLatin1(linkHash), user, expiresAt});
    return s.ok;
}

std::optional<QString> Store::linkUser(const QByteArray& linkHash, qint64 now) {
    Statement s =
        run("SELECT \"user\" FROM links WHERE link_hash = ? AND expires_at > ?", {QString::fromLatin1(linkHash), now});
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    return s.query.value(0).toString();
}

bool Store::removeLink(const QByteArray& linkHash) {
    Statement s = run("DELETE FROM links WHERE link_hash = ?", {QString::fromLatin1(linkHash)});
    return s.ok;
}

bool Store::addState(const QByteArray& stateHash, const OAuthState& state, qint64 expiresAt) {
    Statement s =
        run("INSERT INTO oauth_states (state_hash, \"user\", link_hash, verifier_sealed, expires_at) VALUES (?, ?, ?, "
            "?, ?)",
            {QString::fromLatin1(stateHash), state.user, QString::fromLatin1(state.linkHash),
             QString::fromLatin1(state.verifierSealed), expiresAt});
    return s.ok;
}

std::optional<OAuthState> Store::takeState(const QByteArray& stateHash, qint64 now) {
    Statement s = run("SELECT \"user\", link_hash, verifier_sealed, expires_at FROM oauth_states WHERE state_hash = ?",
                      {QString::fromLatin1(stateHash)});
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    OAuthState state{s.query.value(0).toString(), s.query.value(1).toByteArray(), s.query.value(2).toByteArray()};
    const qint64 expiresAt = s.query.value(3).toLongLong();
    // The read ends before the write: a write that follows an open read fails at once, without waiting, when
    // another connection wrote in between, and the seller would be told the link was not valid.
    s.query.finish();
    Statement gone = run("DELETE FROM oauth_states WHERE state_hash = ?", {QString::fromLatin1(stateHash)});
    // Only the caller that deleted the row may use the state, so a replayed callback finds nothing.
    if (!gone.ok || gone.query.numRowsAffected() != 1 || expiresAt <= now) {
        return std::nullopt;
    }
    return state;
}

void Store::purge(qint64 now, qint64 idleBefore) {
    run("DELETE FROM sessions WHERE last_seen < ?", {idleBefore});
    run("DELETE FROM links WHERE expires_at <= ?", {now});
    run("DELETE FROM oauth_states WHERE expires_at <= ?", {now});
}

bool Store::addAudit(const AuditRow& row) {
    Statement s =
        run("INSERT INTO audit (at, \"user\", seller_id, item, price_asked, price_set, outcome, market_status) VALUES "
            "(?, ?, ?, ?, ?, ?, ?, ?)",
            {row.at, row.user, row.sellerId, row.item, row.priceAsked, row.priceSet, row.outcome, row.marketStatus});
    return s.ok;
}

std::optional<qint64> Store::beginAudit(const AuditRow& row) {
    // Qt's PostgreSQL driver gives a row's OID as its last insert id, not its serial id: the id is asked for instead.
    Statement s =
        run(postgres_ ? "INSERT INTO audit (at, \"user\", seller_id, item, price_asked, price_set, outcome, "
                        "market_status) VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"
                      : "INSERT INTO audit (at, \"user\", seller_id, item, price_asked, price_set, outcome, "
                        "market_status) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            {row.at, row.user, row.sellerId, row.item, row.priceAsked, row.priceSet, row.outcome, row.marketStatus});
    if (!s.ok) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 id =
        postgres_ ? (s.query.next() ? s.query.value(0).toLongLong(&ok) : 0) : s.query.lastInsertId().toLongLong(&ok);
    return ok ? std::optional<qint64>(id) : std::nullopt;
}

bool Store::finishAudit(qint64 id, const AuditRow& row) {
    Statement s = run("UPDATE audit SET price_set = ?, outcome = ?, market_status = ? WHERE id = ?",
                      {row.priceSet, row.outcome, row.marketStatus, id});
    return s.ok && s.query.numRowsAffected() == 1;
}

QList<AuditRow> Store::audit(const QString& sellerId) {
    Statement s =
        run("SELECT at, \"user\", seller_id, item, price_asked, price_set, outcome, market_status FROM audit WHERE ? = "
            "'' OR seller_id = ? ORDER BY id",
            {sellerId, sellerId});
    QList<AuditRow> out;
    while (s.ok && s.query.next()) {
        out.append(AuditRow{s.query.value(0).toString(), s.query.value(1).toString(), s.query.value(2).toString(),
                            s.query.value(3).toString(), s.query.value(4).toString(), s.query.value(5).toString(),
                            s.query.value(6).toString(), s.query.value(7).toInt()});
    }
    return out;
}

}  // namespace gateway
