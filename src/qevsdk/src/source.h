// The seam between the library handle and the two kinds of source behind it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qevsdk/qevsdk.h"

namespace qevsdk::detail {

class Source {
  public:
    virtual ~Source() = default;
    // False once the source knows it cannot serve reads (for example its connection is gone
    // and could not be restored).
    virtual bool is_valid() = 0;
    // Exactly one record per request, in order. Never throws for a lost connection: that
    // gives Bad records.
    virtual std::vector<ValueRecord> read(const std::vector<TagRequest>& requests) = 0;
    // Why the last read failed or the source became invalid; "" when nothing failed.
    virtual std::string last_error() { return {}; }
    // What the source could not make of the tags asked for since the last call (an OPC UA
    // namespace URI the server lacks); each once per connection.
    virtual std::vector<std::string> take_tag_problems() { return {}; }
    // Subscribed sources only: changes since the last call, and items live now.
    virtual std::vector<ChangeRecord> take_changes() { return {}; }
    virtual std::optional<std::size_t> live_items() { return std::nullopt; }
    // Only OPC UA sources have an address space to walk.
    virtual BrowseResult browse(const BrowseOptions&) {
        throw Error("qevsdk: only OPC UA sources can be browsed");
    }
};

// The built-in DA simulation server, or nullptr for any other DA schema, with the reason
// logged and in `why`.
std::unique_ptr<Source> make_da_source(const std::string& schema, int sample_timespan_msec,
                                       std::string& why);

// An OPC UA session to `opc.tcp://host:port`, or nullptr when the schema is malformed or the
// server cannot be reached, with the reason logged and in `why`. With `subscribe` it keeps
// subscriptions and reads answer from what the server reported.
std::unique_ptr<Source> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                       std::string& why, bool subscribe = false);

// Discovery. Each returns schemas in the server's order, without duplicates.
// discover_ua throws qevsdk::Error with a clear text when the server cannot be reached.
std::vector<std::string> discover_da(const std::string& hostname);
std::vector<std::string> discover_ua(const std::string& hostname, int port);

}  // namespace qevsdk::detail
