// chronq: what the server offers.
#pragma once

#include <string>
#include <vector>

#include "chronq/types.h"

namespace chronq {

// Connects to the server's maintenance database with the same settings and lists, in name
// order, the databases the user may connect to, templates excluded.
std::vector<std::string> fetch_available_tsdbs(const ConnSettings& settings);

}  // namespace chronq
