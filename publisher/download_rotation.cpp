#include "publisher/download_rotation.h"

namespace publisher {

Endpoint DownloadRotation::Next() {
    if (servers_.empty())
        return {};
    Endpoint e = servers_[next_];
    next_ = (next_ + 1) % servers_.size();
    return e;
}

} // namespace publisher
