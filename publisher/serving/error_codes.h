// The ErrorCode values this service answers with. 0 is success; installers show any other value.
#pragma once

#include <cstdint>

namespace publisher {

constexpr uint32_t kErrorBadCredential = 10;    // authentication request with a wrong credential
constexpr uint32_t kErrorNotAuthenticated = 11; // request before the link was authenticated
constexpr uint32_t kErrorBadLogin = 12;         // unknown user or wrong password
constexpr uint32_t kErrorNotLoggedIn = 13;      // update or module check before a login
constexpr uint32_t kErrorUnknownPackage = 20;   // package number or version not published here
constexpr uint32_t kErrorUnknownModule = 21;    // download of a module this package does not have
constexpr uint32_t kErrorTooManyModules = 22;   // more queued modules than one connection may hold
constexpr uint32_t kErrorUnreadableFile = 30;   // a package file could not be read while streaming

} // namespace publisher
