#include "publisher/ops/version.h"

#include "publisher_version.h"

std::string PublisherVersionLine() {
    return std::string("orvane-publisher ") + ORVANE_PUBLISHER_VERSION + " (" + ORVANE_PUBLISHER_COMMIT +
           ")\n";
}
