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

  private:
    QByteArray apiUrl_;
    QByteArray caBundle_;  // the system's bundle followed by the extra certificate; empty: curl's default
    void* share_;          // CURLSH
};
