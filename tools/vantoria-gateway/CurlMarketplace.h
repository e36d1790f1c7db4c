#pragma once

#include "Exchange.h"

#include <QString>

// The marketplace's API over HTTPS with libcurl: peer and host verified, each worker thread keeping its own handle
// so that its connections are reused from one call to the next.
class CurlMarketplace final : public gateway::MarketplaceClient {
  public:
    // `extraCa`, when given, is trusted in addition to the system's certificates.
    CurlMarketplace(QByteArray apiUrl, const QString& extraCa);
    gateway::ApiAnswer send(const gateway::ApiCall& call) override;

  private:
    QByteArray apiUrl_;
    QByteArray caBundle_;  // the system's bundle followed by the extra certificate; empty: curl's default
};
