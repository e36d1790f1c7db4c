#pragma once

#include "Exchange.h"

#include <QString>

// The marketplace's API over HTTPS with libcurl: peer and host verified. Each worker thread keeps its own handle, and
// all handles share one connection cache, so a connection is reused by whichever thread calls next instead of every
// thread keeping an idle one of its own open.
class CurlMarketplace final : public gateway::MarketplaceClient {
  public:
    // `extraCa`, when given, is trusted in addition to the system's certificates.
    CurlMarketplace(QByteArray apiUrl, const QString& extraCa);
    ~CurlMarketplace() override;
    gateway::ApiAnswer send(const gateway::ApiCall& call) override;
    // Microseconds this thread has spent in marketplace calls since its last reset: what a request waited on the
    // marketplace, told to callers in a Server-Timing header so that the gateway's own share can be measured.
    static void resetWaited();
    static long long waitedMicros();

  private:
    QByteArray apiUrl_;
    QByteArray caBundle_;  // the system's bundle followed by the extra certificate; empty: curl's default
    void* share_;          // CURLSH
};
