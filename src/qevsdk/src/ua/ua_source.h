// The UA source behind the library handle, with its settings exposed for tests and tools.
#pragma once

#include <memory>
#include <string>

#include "../source.h"
#include "client.h"
#include "qevsdk/ua_security.h"

namespace qevsdk::ua {

// Defaults, overridden by the environment (values in milliseconds):
//   QEVSDK_UA_CONNECT_TIMEOUT_MS  TCP connect (default 3000)
//   QEVSDK_UA_REQUEST_TIMEOUT_MS  every request, Hello included (default 5000)
//   QEVSDK_UA_CHANNEL_LIFETIME_MS requested security token lifetime (default 600000)
// ... and the security settings last given to qevsdk::set_ua_security.
ClientSettings settings_from_environment();

// The public security settings checked and translated; throws qevsdk::Error.
SecuritySettings parse_security(const UaSecurity& in);
void set_security(SecuritySettings settings);

// nullptr when the schema is malformed or the server cannot be reached, with the reason logged
// and in `why`.
std::unique_ptr<detail::Source> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                               ClientSettings settings, std::string& why,
                                               bool subscribe = false);

}  // namespace qevsdk::ua
