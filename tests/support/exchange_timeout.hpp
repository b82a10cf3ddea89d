// The library's own tests may change the exchange timeout; the 60 s come back at scope end.
//   const ExchangeTimeout timeout(500ms);
#pragma once

#include <chrono>

#include "internal/http_transport.hpp"

namespace tavrello::testing {

struct ExchangeTimeout {
  explicit ExchangeTimeout(std::chrono::milliseconds timeout) {
    internal::setExchangeTimeoutForTesting(timeout);
  }
  ~ExchangeTimeout() { internal::setExchangeTimeoutForTesting(std::chrono::seconds(60)); }
};

}  // namespace tavrello::testing
