// The gateway's construction, the dispatch of a request to its endpoint, and the one way every endpoint calls the
// marketplace: a fresh token after a 401, and the bounded retries within the request's time budget.

#include "GatewayParts.h"

#include <algorithm>

namespace gateway {

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

}  // namespace gateway
