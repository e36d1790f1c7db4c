#include "Store.h"

#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <initializer_list>

namespace gateway {

namespace {

const char* const Schema[] = {
    "CREATE TABLE IF NOT EXISTS accounts (user TEXT PRIMARY KEY, password_hash TEXT NOT NULL, seller_id TEXT NOT NULL "
    "DEFAULT '', failures INTEGER NOT NULL DEFAULT 0, locked_until INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS sellers (seller_id TEXT PRIMARY KEY, access_sealed TEXT NOT NULL, refresh_sealed TEXT "
    "NOT NULL, expires_at INTEGER NOT NULL, relink INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS refresh_locks (seller_id TEXT PRIMARY KEY, holder TEXT NOT NULL, until INTEGER NOT "
    "NULL)",
    "CREATE TABLE IF NOT EXISTS sessions (id_hash TEXT PRIMARY KEY, user TEXT NOT NULL, seller_id TEXT NOT NULL, "
    "last_seen INTEGER NOT NULL, has_snapshot INTEGER NOT NULL DEFAULT 0, snapshot TEXT NOT NULL DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS links (link_hash TEXT PRIMARY KEY, user TEXT NOT NULL, expires_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS oauth_states (state_hash TEXT PRIMARY KEY, user TEXT NOT NULL, link_hash TEXT NOT "
    "NULL, verifier_sealed TEXT NOT NULL, expires_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS audit (id INTEGER PRIMARY KEY AUTOINCREMENT, at TEXT NOT NULL, user TEXT NOT NULL, "
    "seller_id TEXT NOT NULL, item TEXT NOT NULL, price_asked TEXT NOT NULL, price_set TEXT NOT NULL, outcome TEXT "
    "NOT NULL, market_status INTEGER NOT NULL)",
};

}  // namespace

Store::Store(QString path) : path_(std::move(path)) {}

Store::~Store() {
    QStringList names;
    {
        QMutexLocker lock(&mutex_);
        names.swap(connectionNames_);
    }
    for (const QString& name : names) {
        QSqlDatabase::removeDatabase(name);
    }
}

QString Store::lastError() const {
    QMutexLocker lock(&mutex_);
    return lastError_;
}

void Store::setError(const QString& error) {
    QMutexLocker lock(&mutex_);
    lastError_ = error;
}

QSqlDatabase Store::connection() {
    // A number of each thread's own rather than its system id, which a later thread may be given again: Qt refuses a
    // connection to any thread but the one that made it.
    static std::atomic<quint64> threads{0};
    thread_local const quint64 thread = ++threads;
    const QString name = QStringLiteral("gateway-%1-%2").arg(reinterpret_cast<quintptr>(this)).arg(thread);
    if (QSqlDatabase::contains(name)) {
        return QSqlDatabase::database(name);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path_);
    // Several threads and processes write the same file; a writer waits for another instead of failing.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    {
        QMutexLocker lock(&mutex_);
        connectionNames_.append(name);
    }
    if (db.open()) {
        QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        // A commit is not flushed to the disk on its own: sessions and the audit are written on every request, and
        // two flushes per price request made the requests of hundreds of shops queue on the disk. The file stays
        // whole after any crash; a power cut may lose the last commits, so a new token pair is flushed (below).
        QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }
    return db;
}

namespace {

struct Statement {
    QSqlQuery query;
    bool ok;
};

Statement run(const QSqlDatabase& db, const char* sql, std::initializer_list<QVariant> values) {
    QSqlQuery query(db);
    if (!db.isOpen() || !query.prepare(QString::fromUtf8(sql))) {
        return {std::move(query), false};
    }
    for (const QVariant& value : values) {
        // A null text would bind as SQL NULL; the columns hold empty texts instead.
        const bool nullText = value.typeId() == QMetaType::QString && value.toString().isNull();
        query.addBindValue(nullText ? QVariant(QStringLiteral("")) : value);
    }
    const bool ok = query.exec();
    return {std::move(query), ok};
}

}  // namespace

#define GATEWAY_RUN(name, sql, ...)                                                      \
    QSqlDatabase db_ = connection();                                                     \
    Statement name = run(db_, sql, {__VA_ARGS__});                                       \
    if (!name.ok) {                                                                      \
        setError(db_.isOpen() ? name.query.lastError().text() : db_.lastError().text()); \
    }

bool Store::open() {
    QSqlDatabase db = connection();
    if (!db.isOpen()) {
        setError(db.lastError().text());
        return false;
    }
    for (const char* sql : Schema) {
        QSqlQuery query(db);
        if (!query.exec(QString::fromUtf8(sql))) {
            setError(query.lastError().text());
            return false;
        }
    }
    return true;
}

std::optional<Account> Store::account(const QString& user, bool* failed) {
    GATEWAY_RUN(s, "SELECT user, password_hash, seller_id, failures, locked_until FROM accounts WHERE user = ?", user);
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
    GATEWAY_RUN(s, "SELECT user, password_hash, seller_id, failures, locked_until FROM accounts ORDER BY user");
    QList<Account> out;
    while (s.ok && s.query.next()) {
        out.append(Account{s.query.value(0).toString(), s.query.value(1).toByteArray(), s.query.value(2).toString(),
                           s.query.value(3).toInt(), s.query.value(4).toLongLong()});
    }
    return out;
}

bool Store::addAccount(const QString& user, const QByteArray& passwordHash) {
    GATEWAY_RUN(s, "INSERT INTO accounts (user, password_hash) VALUES (?, ?)", user, QString::fromUtf8(passwordHash));
    return s.ok;
}

bool Store::setPassword(const QString& user, const QByteArray& passwordHash) {
    GATEWAY_RUN(s, "UPDATE accounts SET password_hash = ?, failures = 0, locked_until = 0 WHERE user = ?",
                QString::fromUtf8(passwordHash), user);
    return s.ok && s.query.numRowsAffected() == 1;
}

bool Store::removeAccount(const QString& user) {
    GATEWAY_RUN(s, "DELETE FROM accounts WHERE user = ?", user);
    if (!s.ok || s.query.numRowsAffected() != 1) {
        return false;
    }
    run(db_, "DELETE FROM sessions WHERE user = ?", {user});
    run(db_, "DELETE FROM links WHERE user = ?", {user});
    // Tokens of a seller no other account uses go with the account.
    run(db_, "DELETE FROM sellers WHERE seller_id NOT IN (SELECT seller_id FROM accounts)", {});
    return true;
}

bool Store::setFailures(const QString& user, int failures, qint64 lockedUntil) {
    GATEWAY_RUN(s, "UPDATE accounts SET failures = ?, locked_until = ? WHERE user = ?", failures, lockedUntil, user);
    return s.ok;
}

std::optional<qint64> Store::addFailure(const QString& user, int limit, qint64 lockUntil) {
    GATEWAY_RUN(s,
                "UPDATE accounts SET locked_until = CASE WHEN failures + 1 >= ? THEN ? ELSE locked_until END, failures "
                "= CASE WHEN failures + 1 >= ? THEN 0 ELSE failures + 1 END WHERE user = ?",
                limit, lockUntil, limit, user);
    if (!s.ok) {
        return std::nullopt;
    }
    Statement after = run(db_, "SELECT locked_until FROM accounts WHERE user = ?", {user});
    if (!after.ok || !after.query.next()) {
        return std::nullopt;
    }
    return after.query.value(0).toLongLong();
}

bool Store::setSeller(const QString& user, const QString& sellerId) {
    GATEWAY_RUN(s, "UPDATE accounts SET seller_id = ? WHERE user = ?", sellerId, user);
    return s.ok && s.query.numRowsAffected() == 1;
}

std::optional<SellerTokens> Store::tokens(const QString& sellerId) {
    GATEWAY_RUN(s, "SELECT access_sealed, refresh_sealed, expires_at, relink FROM sellers WHERE seller_id = ?",
                sellerId);
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    return SellerTokens{s.query.value(0).toByteArray(), s.query.value(1).toByteArray(), s.query.value(2).toLongLong(),
                        s.query.value(3).toInt() != 0};
}

bool Store::saveTokens(const QString& sellerId, const QByteArray& accessSealed, const QByteArray& refreshSealed,
                       qint64 expiresAt) {
    // The old refresh token is spent already: this commit is flushed to the disk, to survive a power cut.
    QSqlQuery(connection()).exec(QStringLiteral("PRAGMA synchronous=FULL"));
    GATEWAY_RUN(s,
                "INSERT INTO sellers (seller_id, access_sealed, refresh_sealed, expires_at, relink) VALUES (?, ?, ?, "
                "?, 0) ON CONFLICT(seller_id) DO UPDATE SET access_sealed = excluded.access_sealed, refresh_sealed = "
                "excluded.refresh_sealed, expires_at = excluded.expires_at, relink = 0",
                sellerId, QString::fromLatin1(accessSealed), QString::fromLatin1(refreshSealed), expiresAt);
    QSqlQuery(db_).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    return s.ok;
}

bool Store::markRelink(const QString& sellerId) {
    GATEWAY_RUN(s, "UPDATE sellers SET relink = 1 WHERE seller_id = ?", sellerId);
    return s.ok;
}

bool Store::tryLock(const QString& sellerId, const QByteArray& holder, qint64 now, qint64 until) {
    QSqlDatabase db = connection();
    run(db, "DELETE FROM refresh_locks WHERE seller_id = ? AND until < ?", {sellerId, now});
    // The insert is the one atomic step: of several callers, exactly one adds the row.
    Statement s = run(db, "INSERT OR IGNORE INTO refresh_locks (seller_id, holder, until) VALUES (?, ?, ?)",
                      {sellerId, QString::fromLatin1(holder), until});
    if (!s.ok) {
        setError(s.query.lastError().text());
        return false;
    }
    return s.query.numRowsAffected() == 1;
}

void Store::unlock(const QString& sellerId, const QByteArray& holder) {
    GATEWAY_RUN(s, "DELETE FROM refresh_locks WHERE seller_id = ? AND holder = ?", sellerId,
                QString::fromLatin1(holder));
}

bool Store::createSession(const QByteArray& idHash, const QString& user, const QString& sellerId, qint64 now) {
    GATEWAY_RUN(s, "INSERT INTO sessions (id_hash, user, seller_id, last_seen) VALUES (?, ?, ?, ?)",
                QString::fromLatin1(idHash), user, sellerId, now);
    return s.ok;
}

std::optional<Session> Store::session(const QByteArray& idHash) {
    GATEWAY_RUN(s, "SELECT user, seller_id, last_seen, has_snapshot, snapshot FROM sessions WHERE id_hash = ?",
                QString::fromLatin1(idHash));
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
    GATEWAY_RUN(s, "UPDATE sessions SET last_seen = ? WHERE id_hash = ?", now, QString::fromLatin1(idHash));
    return s.ok;
}

bool Store::removeSession(const QByteArray& idHash) {
    GATEWAY_RUN(s, "DELETE FROM sessions WHERE id_hash = ?", QString::fromLatin1(idHash));
    return s.ok;
}

bool Store::setSnapshot(const QByteArray& idHash, const QStringList& ids) {
    GATEWAY_RUN(s, "UPDATE sessions SET has_snapshot = 1, snapshot = ? WHERE id_hash = ?", ids.join(u','),
                QString::fromLatin1(idHash));
    return s.ok;
}

bool Store::addLink(const QByteArray& linkHash, const QString& user, qint64 expiresAt) {
    GATEWAY_RUN(s, "INSERT INTO links (link_hash, user, expires_at) VALUES (?, ?, ?)", QString::fromLatin1(linkHash),
                user, expiresAt);
    return s.ok;
}

std::optional<QString> Store::linkUser(const QByteArray& linkHash, qint64 now) {
    GATEWAY_RUN(s, "SELECT user FROM links WHERE link_hash = ? AND expires_at > ?", QString::fromLatin1(linkHash), now);
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    return s.query.value(0).toString();
}

bool Store::removeLink(const QByteArray& linkHash) {
    GATEWAY_RUN(s, "DELETE FROM links WHERE link_hash = ?", QString::fromLatin1(linkHash));
    return s.ok;
}

bool Store::addState(const QByteArray& stateHash, const OAuthState& state, qint64 expiresAt) {
    GATEWAY_RUN(s,
                "INSERT INTO oauth_states (state_hash, user, link_hash, verifier_sealed, expires_at) VALUES (?, ?, ?, "
                "?, ?)",
                QString::fromLatin1(stateHash), state.user, QString::fromLatin1(state.linkHash),
                QString::fromLatin1(state.verifierSealed), expiresAt);
    return s.ok;
}

std::optional<OAuthState> Store::takeState(const QByteArray& stateHash, qint64 now) {
    GATEWAY_RUN(s, "SELECT user, link_hash, verifier_sealed, expires_at FROM oauth_states WHERE state_hash = ?",
                QString::fromLatin1(stateHash));
    if (!s.ok || !s.query.next()) {
        return std::nullopt;
    }
    OAuthState state{s.query.value(0).toString(), s.query.value(1).toByteArray(), s.query.value(2).toByteArray()};
    const qint64 expiresAt = s.query.value(3).toLongLong();
    // The read ends before the write: a write that follows an open read fails at once, without waiting, when
    // another connection wrote in between, and the seller would be told the link was not valid.
    s.query.finish();
    Statement gone = run(db_, "DELETE FROM oauth_states WHERE state_hash = ?", {QString::fromLatin1(stateHash)});
    // Only the caller that deleted the row may use the state, so a replayed callback finds nothing.
    if (!gone.ok || gone.query.numRowsAffected() != 1 || expiresAt <= now) {
        return std::nullopt;
    }
    return state;
}

void Store::purge(qint64 now, qint64 idleBefore) {
    QSqlDatabase db = connection();
    run(db, "DELETE FROM sessions WHERE last_seen < ?", {idleBefore});
    run(db, "DELETE FROM links WHERE expires_at <= ?", {now});
    run(db, "DELETE FROM oauth_states WHERE expires_at <= ?", {now});
}

bool Store::addAudit(const AuditRow& row) {
    GATEWAY_RUN(s,
                "INSERT INTO audit (at, user, seller_id, item, price_asked, price_set, outcome, market_status) VALUES "
                "(?, ?, ?, ?, ?, ?, ?, ?)",
                row.at, row.user, row.sellerId, row.item, row.priceAsked, row.priceSet, row.outcome, row.marketStatus);
    return s.ok;
}

QList<AuditRow> Store::audit(const QString& sellerId) {
    GATEWAY_RUN(s,
                "SELECT at, user, seller_id, item, price_asked, price_set, outcome, market_status FROM audit WHERE ? = "
                "'' OR seller_id = ? ORDER BY id",
                sellerId, sellerId);
    QList<AuditRow> out;
    while (s.ok && s.query.next()) {
        out.append(AuditRow{s.query.value(0).toString(), s.query.value(1).toString(), s.query.value(2).toString(),
                            s.query.value(3).toString(), s.query.value(4).toString(), s.query.value(5).toString(),
                            s.query.value(6).toString(), s.query.value(7).toInt()});
    }
    return out;
}

}  // namespace gateway
