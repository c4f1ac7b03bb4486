// libFuzzer target: everything a hostile OPC UA server can send to the client. The first
// byte picks what the rest is fed to: the service response decoders (Browse, BrowseNext and
// the subscription services' Publish responses and notifications among them), the built-in type
// decoders, a whole secure channel (handshake, token renewal and requests) reading the bytes as the
// server's side of the stream, cut into pieces of varying size, or the secured chunks of an open
// RSA-policy channel.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ua/browse.h"
#include "ua/channel_security.h"
#include "ua/messages.h"
#include "ua/secure_channel.h"
#include "ua/subscription_messages.h"

namespace {

using namespace qevsdk::ua;

void decode_responses(const std::uint8_t* data, std::size_t size) {
    const auto attempt = [&](auto&& f) {
        Reader r(data, size);
        try {
            f(r);
        } catch (const UaError&) {
        } catch (const DecodeError&) {
        }
    };
    attempt([](Reader& r) { (void)decode_open_secure_channel_response(r); });
    attempt([](Reader& r) { (void)decode_get_endpoints_response(r); });
    attempt([](Reader& r) { (void)decode_find_servers_response(r); });
    attempt([](Reader& r) { (void)decode_create_session_response(r); });
    attempt([](Reader& r) { decode_activate_session_response(r); });
    attempt([](Reader& r) { decode_close_session_response(r); });
    for (std::size_t n : {0u, 1u, 3u}) {
        attempt([n](Reader& r) {
            std::vector<qevsdk::ValueRecord> out(n);
            decode_read_response(r, out, std::chrono::system_clock::now());
        });
    }
    // The server's namespace array, then tag texts resolved through it.
    for (bool with_limit : {false, true}) {
        attempt([with_limit](Reader& r) {
            auto facts = decode_read_server_facts_response(r, with_limit);
            if (facts.namespace_array) {
                NamespaceTable table;
                table.assign(std::move(*facts.namespace_array));
                Writer w;
                std::vector<std::uint8_t> scratch;
                for (const auto& uri : table.uris()) {
                    encode_tag_node_id(w, 0, "nsu=" + uri + ";s=x", scratch, &table);
                }
                (void)table.take_problems();
            }
        });
    }
    for (std::size_t n : {1u, 2u}) {
        attempt([n](Reader& r) { (void)decode_browse_response(r, n); });
        attempt([n](Reader& r) { (void)decode_browse_next_response(r, n); });
        attempt([n](Reader& r) { (void)decode_read_attributes_response(r, n * 4); });
        attempt([n](Reader& r) { (void)decode_create_monitored_items_response(r, n); });
        attempt([n](Reader& r) { (void)decode_transfer_subscriptions_response(r, n); });
    }
    // Subscriptions: Publish responses and the notifications they carry above all.
    attempt([](Reader& r) { (void)decode_publish_response(r); });
    attempt([](Reader& r) { (void)decode_republish_response(r); });
    attempt([](Reader& r) { (void)decode_create_subscription_response(r); });
    attempt([](Reader& r) { decode_delete_subscriptions_response(r); });
}

void decode_builtins(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    try {
        while (r.remaining() > 0) {
            switch (r.u8() % 6) {
                case 0:
                    (void)decode_variant_number(r);
                    break;
                case 1: {
                    DataValue dv;
                    decode_data_value(r, dv);
                    break;
                }
                case 2:
                    skip_diagnostic_info(r);
                    break;
                case 3:
                    skip_extension_object(r);
                    break;
                case 4:
                    (void)decode_node_id(r);
                    break;
                default:
                    skip_localized_text(r);
                    break;
            }
        }
    } catch (const DecodeError&) {
    }
}

// The server's bytes, handed out in pieces whose sizes come from the input too.
class FuzzTransport final : public Transport {
  public:
    FuzzTransport(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    void send(const std::uint8_t*, std::size_t, Clock::time_point) override {}
    std::size_t receive(std::uint8_t* data, std::size_t size, Clock::time_point) override {
        if (p_ == end_) {
            throw UaError(0x800A0000, "end of input");
        }
        const std::size_t piece =
            std::min<std::size_t>({size, static_cast<std::size_t>(end_ - p_),
                                   static_cast<std::size_t>(1 + (*p_ % 64) * 97)});
        std::memcpy(data, p_, piece);
        p_ += piece;
        return piece;
    }
    void close() override {}

  private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

void run_channel(const std::uint8_t* data, std::size_t size) {
    ChannelSettings settings;
    settings.request_timeout = std::chrono::milliseconds(100);
    // Every request renews the token, so that renewal answers are exercised too.
    Clock::time_point now = Clock::now();
    settings.now = [&now] {
        now += std::chrono::hours(1);
        return now;
    };
    SecureChannel channel(std::make_unique<FuzzTransport>(data, size), settings);
    try {
        channel.open("opc.tcp://fuzz:4840");
        Writer body;
        std::vector<std::uint8_t> scratch;
        const std::vector<qevsdk::TagRequest> nodes{{5, 2, "s=a"}, {5, 0, "i=1"}};
        for (int i = 0; i < 4 && channel.usable(); ++i) {
            body.clear();
            encode_read_request(body, {nullptr, 1, 100}, nodes, scratch);
            try {
                Reader r = channel.request(body);
                std::vector<qevsdk::ValueRecord> out(nodes.size());
                decode_read_response(r, out, std::chrono::system_clock::now());
            } catch (const ServiceError&) {
            }
        }
    } catch (const UaError&) {
    } catch (const DecodeError&) {
    }
    channel.close();
}

// Secured chunks after OpenSecureChannel, as a hostile server sends them: raw bytes that
// must be refused, and hostile contents sealed with the right keys, which must get through
// the checks and then be refused (or decoded) by the padding and message decoders.
void run_secured(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return;
    }
    static const std::vector<std::uint8_t> client_nonce(32, 0x11);
    static const std::vector<std::uint8_t> server_nonce(32, 0x22);
    const SecurityPolicy& policy = kPolicies[1 + data[0] % 3];
    const SecurityMode mode = data[1] % 2 ? SecurityMode::Sign : SecurityMode::SignAndEncrypt;
    data += 2;
    size -= 2;
    const ChannelKeys keys = derive_channel_keys(policy, client_nonce, server_nonce);
    SymmetricCodec client_side(policy, mode, keys.server, false);
    try {
        (void)client_side.open({data, size});
    } catch (const UaError&) {
    }
    // The same bytes as the sequence header and body of a chunk the server sealed properly.
    Writer chunk;
    chunk.raw("MSGF", 4);
    chunk.u32(0);
    chunk.u32(1);
    chunk.u32(1);
    chunk.raw(data, size);
    SymmetricCodec server_side(policy, mode, keys.server, true);
    server_side.seal(chunk.bytes(), 0);
    try {
        const auto plain = client_side.open(chunk.bytes());
        Reader r(plain.data(), plain.size());
        r.skip(8);
        std::vector<qevsdk::ValueRecord> out(2);
        decode_read_response(r, out, std::chrono::system_clock::now());
    } catch (const UaError&) {
    } catch (const DecodeError&) {
    }
    // And as an OpenSecureChannel answer, which must fail the RSA checks without harm.
    static const auto own = [] {
        auto key = crypto::PrivateKey::generate_rsa(2048);
        return std::make_shared<Credentials>(
            Credentials{crypto::make_self_signed(key, {"urn:fuzz", "fuzz", "fuzz"}), key});
    }();
    AsymmetricCodec asymmetric(ChannelSecurity{&policy, mode, own, own->certificate});
    try {
        (void)asymmetric.open({data, size});
    } catch (const UaError&) {
    } catch (const DecodeError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0] % 4;
    ++data;
    --size;
    if (mode == 0) {
        decode_responses(data, size);
    } else if (mode == 1) {
        decode_builtins(data, size);
    } else if (mode == 2) {
        run_channel(data, size);
    } else {
        run_secured(data, size);
    }
    return 0;
}
