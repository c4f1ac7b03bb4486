// The UA source behind the library handle, and UA discovery.
#include "ua_source.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "../log.h"
#include "browse.h"
#include "qevsdk/ua_security.h"
#include "subscription.h"

namespace qevsdk {

namespace ua {

namespace {

std::chrono::milliseconds env_millis(const char* name, std::chrono::milliseconds fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) {
        return fallback;
    }
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (*end != '\0' || v <= 0 || v > 24LL * 3600 * 1000) {
        detail::logger()->warn("ignoring {}={}: expected milliseconds between 1 and 86400000", name,
                               text);
        return fallback;
    }
    return std::chrono::milliseconds(v);
}

class UaSource final : public detail::Source {
  public:
    UaSource(ClientSettings settings, EndpointAddress address)
        : client_(std::move(settings)), address_(std::move(address)) {}

    ~UaSource() override {
        std::lock_guard lock(mutex_);
        subscriptions_.reset();
        client_.close();
        detail::logger()->info("disconnected from {}", address_.url);
    }

    void connect() { client_.connect(address_); }

    // Reads from here on answer from what the server reports.
    void subscribe(SubscriptionSettings settings) {
        settings.reconnect = [this](Client& c) { c.connect(address_); };
        subscriptions_ = std::make_unique<Subscriptions>(client_, std::move(settings));
    }

    std::vector<ChangeRecord> take_changes() override {
        std::lock_guard lock(mutex_);
        return subscriptions_ ? subscriptions_->take_changes() : std::vector<ChangeRecord>{};
    }

    std::optional<std::size_t> live_items() override {
        std::lock_guard lock(mutex_);
        if (!subscriptions_) {
            return std::nullopt;
        }
        return client_.connected() ? subscriptions_->live_items() : 0;
    }

    bool is_valid() override {
        std::lock_guard lock(mutex_);
        return client_.connected();
    }

    std::string last_error() override {
        std::lock_guard lock(mutex_);
        return client_.last_error();
    }

    std::vector<ValueRecord> read(const std::vector<TagRequest>& requests) override {
        std::lock_guard lock(mutex_);
        std::vector<ValueRecord> out(requests.size());
        const bool was_connected = client_.connected();
        if (subscriptions_) {
            subscriptions_->read(requests, out);
            if (was_connected && !client_.connected()) {
                detail::logger()->error("lost the connection to {}: {}", address_.url,
                                        subscriptions_->last_error());
            }
            return out;
        }
        client_.read(requests, out);
        log_namespace_problems();
        if (was_connected && !client_.connected()) {
            detail::logger()->error("lost the connection to {}: {}", address_.url,
                                    client_.last_error());
        } else if (!client_.last_error().empty() && client_.connected()) {
            detail::logger()->warn("read from {}: {}", address_.url, client_.last_error());
        }
        return out;
    }

    BrowseResult browse(const BrowseOptions& options) override {
        std::lock_guard lock(mutex_);
        const bool was_connected = client_.connected();
        BrowseResult result = ua::browse(client_, options);
        log_namespace_problems();
        if (was_connected && !client_.connected()) {
            detail::logger()->error("lost the connection to {}: {}", address_.url,
                                    client_.last_error());
        }
        return result;
    }

    std::vector<std::string> take_tag_problems() override {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        out.swap(tag_problems_);
        return out;
    }

  private:
    // Each once per connection (the client notes each once), not once per cycle.
    void log_namespace_problems() {
        for (auto& problem : client_.namespaces().take_problems()) {
            detail::logger()->warn("{}: {}", address_.url, problem);
            if (tag_problems_.size() < kMaxTagProblems) {
                tag_problems_.push_back(std::move(problem));
            }
        }
    }

    // Kept for a caller that never asks for them; beyond this many the log has the rest.
    static constexpr std::size_t kMaxTagProblems = 1000;
    std::vector<std::string> tag_problems_;

    std::mutex mutex_;
    Client client_;
    EndpointAddress address_;
    std::unique_ptr<Subscriptions> subscriptions_;
};

std::mutex security_mutex;
SecuritySettings process_security;

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

SecuritySettings parse_security(const UaSecurity& in) {
    SecuritySettings out;
    out.policy = nullptr;
    for (const auto& p : kPolicies) {
        if (same_name(in.security_policy, p.name) || in.security_policy == p.uri) {
            out.policy = &p;
        }
    }
    if (!out.policy) {
        throw Error("unknown OPC UA security policy '" + in.security_policy +
                    "': use None, Basic256Sha256, Aes128_Sha256_RsaOaep or Aes256_Sha256_RsaPss");
    }
    if (same_name(in.security_mode, "None")) {
        out.mode = SecurityMode::None;
    } else if (same_name(in.security_mode, "Sign")) {
        out.mode = SecurityMode::Sign;
    } else if (same_name(in.security_mode, "SignAndEncrypt")) {
        out.mode = SecurityMode::SignAndEncrypt;
    } else {
        throw Error("unknown OPC UA security mode '" + in.security_mode +
                    "': use None, Sign or SignAndEncrypt");
    }
    if (out.policy->secure() != (out.mode != SecurityMode::None)) {
        throw Error("OPC UA security policy " + std::string(out.policy->name) + " needs " +
                    (out.policy->secure() ? "mode Sign or SignAndEncrypt" : "mode None"));
    }
    out.user = in.user;
    out.password = in.password;
    out.pki_dir = in.pki_dir.empty() ? "pki" : in.pki_dir;
    out.trust_on_first_use = in.trust_on_first_use;
    out.allow_plain_password = in.allow_plain_password;
    return out;
}

void set_security(SecuritySettings settings) {
    std::lock_guard lock(security_mutex);
    process_security = std::move(settings);
}

namespace {

ClientSettings settings_from_environment_and_security() {
    ClientSettings s;
    {
        std::lock_guard lock(security_mutex);
        s.security = process_security;
    }
    s.note = [](const std::string& text) { detail::logger()->warn("{}", text); };
    // One ledger for the process: the engine drops a lost source and makes a new one, and the
    // new one closes what the old one could not.
    static const auto left_sessions = std::make_shared<LeftSessions>();
    s.left_sessions = left_sessions;
    s.connect_timeout = env_millis("QEVSDK_UA_CONNECT_TIMEOUT_MS", s.connect_timeout);
    s.channel.request_timeout =
        env_millis("QEVSDK_UA_REQUEST_TIMEOUT_MS", s.channel.request_timeout);
    s.channel.requested_lifetime_ms = static_cast<std::uint32_t>(
        env_millis("QEVSDK_UA_CHANNEL_LIFETIME_MS",
                   std::chrono::milliseconds(s.channel.requested_lifetime_ms))
            .count());
    return s;
}

}  // namespace

static SubscriptionSettings subscription_settings_for(int sample_ms) {
    const UaSubscription wanted = subscription_settings();
    SubscriptionSettings s;
    // One report per sampling interval of the collector at least.
    s.publishing_interval_ms = sample_ms > 0 ? sample_ms : 1000;
    s.item = item_params(wanted);
    s.keep_changes = wanted.keep_changes;
    s.log = [](int level, const std::string& text) {
        if (level >= 2) {
            detail::logger()->error("{}", text);
        } else if (level == 1) {
            detail::logger()->warn("{}", text);
        } else {
            detail::logger()->info("{}", text);
        }
    };
    return s;
}

ClientSettings settings_from_environment() {
    return settings_from_environment_and_security();
}

std::unique_ptr<detail::Source> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                               ClientSettings settings, std::string& why,
                                               bool subscribe) {
    auto address = parse_endpoint_url(schema);
    if (!address) {
        why = fmt::format(
            "invalid OPC UA schema '{}': expected opc.tcp://host:port (port 1 to "
            "65535)",
            schema);
        detail::logger()->error("{}", why);
        return nullptr;
    }
    // The session must outlive a few sampling intervals without traffic.
    const int sample_ms = std::max(sample_timespan_msec, 0);
    settings.session_timeout_ms = std::max(settings.session_timeout_ms, 4.0 * sample_ms);
    // Renewal happens on reads, so the token must last a few sampling intervals.
    const auto wanted =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(4ULL * sample_ms, 3'600'000));
    settings.channel.requested_lifetime_ms =
        std::max(settings.channel.requested_lifetime_ms, wanted);
    const auto& sec = settings.security;
    const std::string how = "security " + std::string(sec.policy->name) + "/" +
                            (sec.mode == SecurityMode::SignAndEncrypt ? "SignAndEncrypt"
                             : sec.mode == SecurityMode::Sign         ? "Sign"
                                                                      : "None") +
                            ", " +
                            (sec.user.empty() ? std::string("anonymous") : "user " + sec.user);
    auto source = std::make_unique<UaSource>(std::move(settings), *address);
    try {
        source->connect();
    } catch (const UaError& e) {
        why = fmt::format("cannot connect to OPC UA server {}: {}", schema, e.what());
        detail::logger()->error("{}", why);
        return nullptr;
    }
    detail::logger()->info("connected to OPC UA server {} ({})", schema, how);
    if (subscribe) {
        source->subscribe(subscription_settings_for(sample_ms));
    }
    return source;
}

}  // namespace ua

void set_ua_security(const UaSecurity& settings) {
    ua::set_security(ua::parse_security(settings));
}

namespace detail {

std::unique_ptr<Source> make_ua_source(const std::string& schema, int sample_timespan_msec,
                                       std::string& why, bool subscribe) {
    return ua::make_ua_source(schema, sample_timespan_msec, ua::settings_from_environment(), why,
                              subscribe);
}

std::vector<std::string> discover_ua(const std::string& hostname, int port) {
    if (port < 0 || port > 65535) {
        throw Error("discovery: port " + std::to_string(port) + " is not in 0..65535");
    }
    const auto address = ua::make_endpoint(hostname, static_cast<std::uint16_t>(port));
    try {
        return ua::find_server_urls(address, ua::settings_from_environment());
    } catch (const ua::UaError& e) {
        throw Error("cannot reach the OPC UA server at " + address.url + ": " + e.what());
    }
}

}  // namespace detail

}  // namespace qevsdk
