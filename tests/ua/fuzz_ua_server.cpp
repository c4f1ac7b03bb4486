// libFuzzer target: everything a hostile OPC UA server can send to the client. The first
// byte picks what the rest is fed to: the service response decoders, the built-in type
// decoders, or a whole secure channel (handshake, token renewal and requests) reading the
// bytes as the server's side of the stream, cut into pieces of varying size.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ua/messages.h"
#include "ua/secure_channel.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0] % 3;
    ++data;
    --size;
    if (mode == 0) {
        decode_responses(data, size);
    } else if (mode == 1) {
        decode_builtins(data, size);
    } else {
        run_channel(data, size);
    }
    return 0;
}
