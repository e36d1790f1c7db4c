#pragma once

#include "Exchange.h"
#include "Secrets.h"
#include "Store.h"

#include <optional>

namespace gateway {

// The application's credentials at the marketplace.
struct OAuthClient {
    QByteArray clientId;
    QByteArray clientSecret;
    QByteArray redirectUri;
};

struct TokenPair {
    QByteArray access;
    QByteArray refresh;
    qint64 expiresIn = 0;
    QString userId;
};

enum class TokenStatus { Ok, NotLinked, Relink, Unavailable, StoreFailure };

struct AccessToken {
    TokenStatus status = TokenStatus::NotLinked;
    QByteArray token;
};

// Reads a token answer of the marketplace; nothing when it lacks either token.
std::optional<TokenPair> readTokenAnswer(const QByteArray& body);

// Keeps every seller's access token valid. A refresh token works once, so a refresh happens under the seller's lock
// in the store, the new pair is committed before anyone uses it, and a caller that waited for the lock takes the
// pair the holder stored instead of spending the old refresh token a second time.
class TokenKeeper {
  public:
    static constexpr qint64 RefreshMargin = 3600;  // seconds: refresh when less than an hour is left
    static constexpr qint64 LockLease = 30;        // seconds a refresh may hold the lock
    static constexpr qint64 LockWaitMs = 15000;

    TokenKeeper(Store& store, MarketplaceClient& client, Clock& clock, const Sealer& sealer, OAuthClient oauth,
                int timeoutMs = 10000);

    // A token with at least an hour left. With `refused` (the token a 401 answered), the token is refreshed unless
    // another caller has already replaced it.
    AccessToken valid(const QString& sellerId, qint64 now, const QByteArray& refused = {});
    // The code of the authorization page exchanged for a pair.
    std::optional<TokenPair> exchangeCode(const QByteArray& code, const QByteArray& verifier, int* status);
    bool store(const QString& sellerId, const TokenPair& pair, qint64 now);

  private:
    enum class Read { Fresh, Stale, Missing, Relink, Broken };
    Read read(const QString& sellerId, qint64 now, const QByteArray& refused, QByteArray* access, QByteArray* refresh);

    Store& store_;
    MarketplaceClient& client_;
    Clock& clock_;
    const Sealer& sealer_;
    OAuthClient oauth_;
    int timeoutMs_;
};

}  // namespace gateway
