// The signing keys an installer trusts, compiled in. Alone in its file so that an installer built with
// other keys (the sample's) links its own copy of it instead.
#include "install/downloaded_package_check.h"

#ifndef ORVANE_SIGNING_KEYS
#define ORVANE_SIGNING_KEYS ""
#endif

std::vector<minisign::PublicKey> BuiltInSigningKeys() {
    // The build checked the list's form; a list that still does not read trusts nothing.
    return minisign::ParsePublicKeyList(ORVANE_SIGNING_KEYS).value_or(std::vector<minisign::PublicKey>{});
}
