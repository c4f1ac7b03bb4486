// An OPC UA client session over one secure channel.
#include "client.h"

#include <algorithm>
#include <array>
#include <random>

#include "messages.h"
#include "quality.h"

namespace qevsdk::ua {

namespace {

bool halving_helps(std::uint32_t code) {
    const std::uint32_t c = code & 0xFFFF0000;
    return c == status::BadTooManyOperations || c == status::BadRequestTooLarge ||
           c == status::BadResponseTooLarge || c == status::BadEncodingLimitsExceeded;
}

void fill_bad(std::span<ValueRecord> out) {
    const auto receipt = std::chrono::system_clock::now();
    for (auto& r : out) {
        r = bad_record(receipt);
    }
}

std::unique_ptr<SecureChannel> open_channel(const EndpointAddress& address,
                                            const ClientSettings& settings,
                                            std::unique_ptr<Transport> transport = nullptr) {
    if (!transport) {
        transport =
            tcp_connect(address.host, address.port, Clock::now() + settings.connect_timeout);
    }
    auto channel = std::make_unique<SecureChannel>(std::move(transport), settings.channel);
    channel->open(address.url);
    return channel;
}

// A decoding failure after the channel handed over a response breaks the channel too.
template <typename F>
auto decoded(SecureChannel& channel, F&& f) {
    try {
        return f();
    } catch (const DecodeError& e) {
        channel.mark_broken();
        throw UaError(status::BadDecodingError,
                      std::string("the server sent an invalid message: ") + e.what());
    }
}

}  // namespace

RequestContext Client::context(bool with_session) {
    return RequestContext{with_session ? &authentication_token_ : nullptr,
                          channel_->next_request_handle(), channel_->timeout_hint_ms()};
}

Reader Client::call(const Writer& body) {
    return channel_->request(body);
}

void Client::connect(const EndpointAddress& address) {
    connect(address, nullptr);
}

void Client::connect(const EndpointAddress& address, std::unique_ptr<Transport> transport) {
    close();
    last_error_.clear();
    try {
        channel_ = open_channel(address, settings_, std::move(transport));

        body_.clear();
        encode_get_endpoints(body_, context(false), address.url);
        auto endpoints = decoded(*channel_, [&] {
            Reader r = call(body_);
            return decode_get_endpoints_response(r);
        });
        auto chosen = pick_anonymous_none(endpoints);
        if (!chosen) {
            throw UaError(status::BadSecurityModeRejected,
                          "the server offers no endpoint with security None and anonymous login");
        }

        std::array<std::uint8_t, 32> nonce{};
        std::random_device rd;
        for (auto& b : nonce) {
            b = static_cast<std::uint8_t>(rd());
        }
        body_.clear();
        CreateSessionParams params{address.url, "Vantrel", nonce, settings_.session_timeout_ms,
                                   settings_.channel.max_message};
        encode_create_session(body_, context(false), params);
        auto session = decoded(*channel_, [&] {
            Reader r = call(body_);
            return decode_create_session_response(r);
        });
        authentication_token_ = session.authentication_token;
        session_created_ = true;
        channel_->limit_request_message(session.max_request_message_size);
        // The session's own endpoint list is authoritative for the token policy id.
        if (auto again = pick_anonymous_none(session.endpoints)) {
            chosen = again;
        }

        body_.clear();
        encode_activate_session(body_, context(true), chosen->policy_id);
        decoded(*channel_, [&] {
            Reader r = call(body_);
            decode_activate_session_response(r);
            return 0;
        });
        session_active_ = true;
        read_server_limits();
    } catch (const UaError& e) {
        last_error_ = e.what();
        close();
        throw;
    }
}

void Client::read_server_limits() {
    max_nodes_ = settings_.default_max_nodes_per_read;
    if (!settings_.ask_max_nodes_per_read) {
        return;
    }
    const std::array<std::uint32_t, 1> ids{kNodeMaxNodesPerRead};
    body_.clear();
    encode_read_numeric(body_, context(true), ids);
    std::array<ValueRecord, 1> limit{};
    try {
        decoded(*channel_, [&] {
            Reader r = call(body_);
            decode_read_response(r, limit, std::chrono::system_clock::now());
            return 0;
        });
    } catch (const ServiceError&) {
        return;  // a server without the property simply states no limit
    }
    const double v = limit[0].value;
    if (limit[0].quality == kQualityGood && v >= 1 && v < 4294967296.0) {
        max_nodes_ = static_cast<std::uint32_t>(v);
    }
}

void Client::read(std::span<const TagRequest> nodes, std::span<ValueRecord> out) {
    if (connected()) {
        last_error_.clear();
    }
    std::size_t i = 0;
    while (i < nodes.size()) {
        if (!connected()) {
            if (last_error_.empty()) {
                last_error_ = "not connected";
            }
            fill_bad(out.subspan(i));
            return;
        }
        const std::size_t batch =
            std::min<std::size_t>(nodes.size() - i, std::max<std::uint32_t>(max_nodes_, 1));
        try {
            body_.clear();
            encode_read_request(body_, context(true), nodes.subspan(i, batch), scratch_);
            decoded(*channel_, [&] {
                Reader r = call(body_);
                decode_read_response(r, out.subspan(i, batch), std::chrono::system_clock::now());
                return 0;
            });
            i += batch;
        } catch (const ServiceError& e) {
            if (halving_helps(e.code()) && batch > 1) {
                // The server's real limit is lower than stated: remember a smaller batch.
                max_nodes_ = static_cast<std::uint32_t>(batch / 2);
                continue;
            }
            last_error_ = e.what();
            if (is_session_fatal(e.code()) || is_connection_fatal(e.code())) {
                session_active_ = false;
                if (is_connection_fatal(e.code())) {
                    channel_->mark_broken();
                }
                fill_bad(out.subspan(i));
                return;
            }
            fill_bad(out.subspan(i, batch));
            i += batch;
        } catch (const UaError& e) {
            last_error_ = e.what();
            fill_bad(out.subspan(i));
            return;
        }
    }
}

void Client::close() {
    if (!channel_) {
        return;
    }
    // A session that was created but never activated is closed too, so that a refused
    // activation leaves nothing on the server.
    if (session_created_ && channel_->usable()) {
        try {
            body_.clear();
            encode_close_session(body_, context(true));
            decoded(*channel_, [&] {
                // A stalled server must not hold up the teardown for a full request timeout.
                Reader r = channel_->request(body_, std::chrono::milliseconds(1000));
                decode_close_session_response(r);
                return 0;
            });
        } catch (const UaError&) {
            // The channel is closed below whatever the server said.
        }
    }
    session_active_ = false;
    session_created_ = false;
    channel_->close();
    channel_.reset();
}

std::vector<std::string> find_server_urls(const EndpointAddress& address,
                                          const ClientSettings& settings) {
    auto channel = open_channel(address, settings);
    std::vector<std::string> urls;
    const auto add = [&urls](const std::string& url) {
        if (url.rfind("opc.tcp://", 0) == 0 &&
            std::find(urls.begin(), urls.end(), url) == urls.end()) {
            urls.push_back(url);
        }
    };
    Writer body;
    try {
        encode_find_servers(
            body,
            RequestContext{nullptr, channel->next_request_handle(), channel->timeout_hint_ms()},
            address.url);
        auto servers = decoded(*channel, [&] {
            Reader r = channel->request(body);
            return decode_find_servers_response(r);
        });
        for (const auto& server : servers) {
            for (const auto& url : server.discovery_urls) {
                add(url);
            }
        }
    } catch (const ServiceError&) {
        // FindServers refused: the endpoints still name the server.
    }
    if (urls.empty() && channel->usable()) {
        body.clear();
        encode_get_endpoints(
            body,
            RequestContext{nullptr, channel->next_request_handle(), channel->timeout_hint_ms()},
            address.url);
        auto endpoints = decoded(*channel, [&] {
            Reader r = channel->request(body);
            return decode_get_endpoints_response(r);
        });
        for (const auto& e : endpoints) {
            add(e.endpoint_url);
        }
    }
    channel->close();
    return urls;
}

}  // namespace qevsdk::ua
