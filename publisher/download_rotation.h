// Hands out the advertised download servers in turn.
#pragma once

#include "publisher/options.h"

#include <vector>

namespace publisher {

class DownloadRotation {
  public:
    explicit DownloadRotation(std::vector<Endpoint> servers) : servers_(std::move(servers)) {}
    Endpoint Next();

  private:
    std::vector<Endpoint> servers_;
    size_t next_ = 0;
};

} // namespace publisher
