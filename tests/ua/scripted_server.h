// A scripted OPC UA server behind the Transport interface: it answers Hello and
// OpenSecureChannel by itself and hands every assembled request to a test's handler.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ua/messages.h"
#include "ua/transport.h"

namespace qevsdk::ua::test {

using Bytes = std::vector<std::uint8_t>;

struct SentFrame {
    std::string type;  // "HEL", "OPN", "MSG", "CLO"
    char chunk;
    Bytes bytes;
    std::uint32_t u32_at(std::size_t off) const {
        std::uint32_t v;
        std::memcpy(&v, bytes.data() + off, 4);
        return v;
    }
};

// Builds server frames.
inline Bytes server_frame(const char* type, char chunk, const Bytes& rest) {
    Writer w;
    w.raw(type, 3);
    w.u8(static_cast<std::uint8_t>(chunk));
    w.u32(static_cast<std::uint32_t>(8 + rest.size()));
    w.raw(rest.data(), rest.size());
    return w.bytes();
}

inline Bytes response_header_body(std::uint32_t type, std::uint32_t result = 0) {
    Writer w;
    encode_numeric_node_id(w, 0, type);
    w.i64(0);
    w.u32(1);
    w.u32(result);
    w.u8(0);
    w.i32(-1);
    w.u8(0);
    w.u8(0);
    w.u8(0);
    return w.bytes();
}

// A server that answers Hello and OpenSecureChannel itself and hands every assembled MSG
// request to `on_request`, which returns the frames to send back.
class ScriptedServer final : public Transport {
  public:
    std::uint32_t ack_receive = 65535;
    std::uint32_t ack_send = 65535;
    std::uint32_t ack_max_message = 0;
    std::uint32_t ack_max_chunks = 0;
    std::uint32_t lifetime_ms = 600000;
    std::uint32_t channel_id = 5;
    std::uint32_t next_token = 1;
    std::uint32_t sequence = 100;
    bool one_byte_at_a_time = false;
    std::optional<Bytes> answer_hello_with;  // instead of ACK
    std::function<std::vector<Bytes>(ScriptedServer&, std::uint32_t request_id, const Bytes& body)>
        on_request;

    std::vector<SentFrame> sent;
    bool closed = false;

    Bytes msg(char chunk, std::uint32_t token, std::uint32_t request_id, const Bytes& body) {
        Writer w;
        w.u32(channel_id);
        w.u32(token);
        w.u32(++sequence);
        w.u32(request_id);
        w.raw(body.data(), body.size());
        return server_frame("MSG", chunk, w.bytes());
    }
    std::uint32_t current_token() const { return next_token - 1; }

    void send(const std::uint8_t* data, std::size_t size, Clock::time_point) override {
        if (closed)
            throw UaError(status::BadNotConnected, "closed");
        inbound_.insert(inbound_.end(), data, data + size);
        while (inbound_.size() >= 8) {
            std::uint32_t n;
            std::memcpy(&n, inbound_.data() + 4, 4);
            if (inbound_.size() < n)
                break;
            SentFrame f{std::string(inbound_.begin(), inbound_.begin() + 3),
                        static_cast<char>(inbound_[3]),
                        Bytes(inbound_.begin(), inbound_.begin() + n)};
            inbound_.erase(inbound_.begin(), inbound_.begin() + n);
            sent.push_back(f);
            react(f);
        }
    }

    std::size_t receive(std::uint8_t* data, std::size_t size, Clock::time_point) override {
        if (outbound_.empty())
            throw UaError(status::BadTimeout, "the server did not answer in time");
        std::size_t n = std::min(size, outbound_.size());
        if (one_byte_at_a_time)
            n = 1;
        std::copy(outbound_.begin(), outbound_.begin() + static_cast<std::ptrdiff_t>(n), data);
        outbound_.erase(outbound_.begin(), outbound_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

    void close() override { closed = true; }

    void push(const Bytes& b) { outbound_.insert(outbound_.end(), b.begin(), b.end()); }

    std::vector<SentFrame> frames_of(const std::string& type) const {
        std::vector<SentFrame> out;
        for (const auto& f : sent) {
            if (f.type == type)
                out.push_back(f);
        }
        return out;
    }

  private:
    void react(const SentFrame& f) {
        if (f.type == "HEL") {
            if (answer_hello_with) {
                push(*answer_hello_with);
                return;
            }
            Writer w;
            for (std::uint32_t v : {0u, ack_receive, ack_send, ack_max_message, ack_max_chunks})
                w.u32(v);
            push(server_frame("ACK", 'F', w.bytes()));
        } else if (f.type == "OPN") {
            const std::uint32_t request_id = f.u32_at(12 + 4 + 47 + 8 + 4);
            Writer w;
            w.u32(channel_id);
            w.string(kSecurityPolicyNone);
            w.i32(-1);
            w.i32(-1);
            w.u32(++sequence);
            w.u32(request_id);
            const Bytes head = response_header_body(type_id::OpenSecureChannelResponse);
            w.raw(head.data(), head.size());
            w.u32(0);
            w.u32(channel_id);
            w.u32(next_token++);
            w.i64(0);
            w.u32(lifetime_ms);
            w.i32(-1);
            push(server_frame("OPN", 'F', w.bytes()));
        } else if (f.type == "MSG") {
            body_.insert(body_.end(), f.bytes.begin() + 24, f.bytes.end());
            if (f.chunk == 'F') {
                Bytes body;
                body.swap(body_);
                if (on_request) {
                    for (const auto& frame : on_request(*this, f.u32_at(20), body))
                        push(frame);
                }
            }
        }
    }

    Bytes inbound_;
    Bytes body_;
    std::deque<std::uint8_t> outbound_;
};

}  // namespace qevsdk::ua::test
