// The secure channel over one transport: Hello/Acknowledge, opening and renewing the
// security token, request chunking and response assembly, and closing; under SecurityPolicy
// None or one of the RSA policies, signed or signed and encrypted.
// The caller serialises requests: one awaited at a time, besides any number of posted
// requests (Publish) whose responses are collected later, by poll() or while a request waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "channel_security.h"
#include "codec.h"
#include "framing.h"
#include "transport.h"

namespace qevsdk::ua {

struct ChannelSettings {
    // What the client offers in Hello. Explicit limits, because some servers mishandle 0.
    std::uint32_t receive_buffer = 65535;
    std::uint32_t send_buffer = 65535;
    std::uint32_t max_message = 16 * 1024 * 1024;
    std::uint32_t max_chunks = 4096;
    std::uint32_t requested_lifetime_ms = 600'000;
    std::chrono::milliseconds request_timeout{5000};
    // Time source for token renewal; tests replace it.
    std::function<Clock::time_point()> now;
    // None unless a policy, a mode, our credentials and the server's certificate are set.
    ChannelSecurity security;
};

class SecureChannel {
  public:
    SecureChannel(std::unique_ptr<Transport> transport, ChannelSettings settings);
    ~SecureChannel();
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Hello/Acknowledge and OpenSecureChannel (Issue). Throws UaError.
    void open(std::string_view endpoint_url);

    // Sends one request message (type id and structure, as encoded by messages.h) and
    // returns its response, valid until the next call. Renews the token first when 75 % of
    // its lifetime has passed.
    // Throws ServiceError when only this request failed (an aborted response, a request too
    // large for the server); any other error breaks the channel.
    // `timeout` shortens the wait below the configured request timeout (used on teardown).
    Reader request(const Writer& body,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

    // Sends a request whose response is collected later by poll(): one the server may hold
    // for long (Publish). Returns its request id. Throws as request() does.
    std::uint32_t post(const Writer& body);
    struct Posted {
        std::uint32_t request_id = 0;
        std::vector<std::uint8_t> body;  // the response message; empty when aborted
        std::uint32_t abort_code = 0;    // the abort's status, when the server aborted it
    };
    // The next response to a posted request, arrived by `deadline` (a deadline already past
    // takes only what has arrived); nullopt when none. Throws UaError, and breaks the
    // channel, when the connection fails; a deadline that passes is no failure.
    std::optional<Posted> poll(Clock::time_point deadline);
    // Posted requests whose responses have not been handed out yet.
    std::size_t posted() const { return posted_.size() + arrived_.size(); }

    // Marks the channel unusable, e.g. after a response that could not be decoded.
    void mark_broken() { state_ = State::broken; }
    bool usable() const { return state_ == State::open; }

    // CloseSecureChannel when still usable, then the transport. Never throws.
    void close();

    std::uint32_t next_request_handle() { return ++request_handle_; }
    std::uint32_t timeout_hint_ms() const {
        return static_cast<std::uint32_t>(settings_.request_timeout.count());
    }
    // The largest request message the server takes (0: no stated limit).
    void limit_request_message(std::uint32_t bytes);
    std::uint32_t channel_id() const { return channel_id_; }
    const ChannelSecurity& security() const { return settings_.security; }
    std::uint32_t token_id() const { return token_id_; }
    Clock::time_point renew_at() const { return renew_at_; }

  private:
    Clock::time_point now() const { return settings_.now ? settings_.now() : Clock::now(); }
    std::uint32_t next_request_id();
    void send_open(bool renew, std::uint32_t request_id, Clock::time_point deadline);
    void await_open(std::uint32_t request_id, Clock::time_point deadline);
    void send_chunks(const char* type, std::span<const std::uint8_t> body, std::uint32_t request_id,
                     Clock::time_point deadline);
    // Body bytes one outgoing MSG chunk carries.
    std::size_t chunk_body() const;
    // A received MSG chunk's sequence header and body, checked and decrypted as its token says.
    Reader open_symmetric(const Frame& f, std::uint32_t token);
    Frame receive_frame(Clock::time_point deadline);
    // The next frame, or nullopt when none is complete by the deadline (a partial frame stays
    // buffered for the next call).
    std::optional<Frame> receive_frame_by(Clock::time_point deadline);
    // The next frame, which must be of the expected type; an Error frame is thrown as its status.
    Frame receive_expected(FrameType expected, Clock::time_point deadline, const char* unexpected);
    void check_sequence(std::uint32_t seq);
    [[noreturn]] void throw_error_frame(const Frame& f);
    Reader await_response(std::uint32_t request_id, Clock::time_point deadline);
    // A MSG chunk, checked and assembled: the complete response to `awaited`, or nullopt
    // (a chunk of a longer message, or a posted request's response, kept for poll()).
    std::optional<Reader> take_message(const Frame& f, std::uint32_t awaited);
    void renew_if_due(Clock::time_point deadline);
    enum class Faults { keep_channel, break_channel };
    template <typename Step>
    decltype(auto) breaking_on_failure(Faults faults, Step&& step);

    std::unique_ptr<Transport> transport_;
    ChannelSettings settings_;
    FrameBuffer frames_;
    ChunkAssembler assembler_;
    Writer out_;

    // Requests go only over an open channel; a broken or closed one never opens again.
    enum class State { opening, open, broken, closed };
    State state_ = State::opening;
    std::uint32_t send_chunk_ = 8192;
    std::uint32_t peer_max_message_ = 0;
    std::uint32_t peer_max_chunks_ = 0;
    std::uint32_t session_max_message_ = 0;

    std::uint32_t channel_id_ = 0;
    std::uint32_t token_id_ = 0;
    std::uint32_t previous_token_id_ = 0;
    Clock::time_point renew_at_ = Clock::time_point::max();

    // Under a secure policy: the OPN codec, the keys for what we send (always the newest
    // token's), and for what we receive under the newest and the previous token.
    std::optional<AsymmetricCodec> asymmetric_;
    std::vector<std::uint8_t> client_nonce_;
    std::optional<SymmetricCodec> send_codec_;
    std::optional<SymmetricCodec> receive_codec_;
    std::optional<SymmetricCodec> previous_receive_codec_;

    std::uint32_t send_sequence_ = 0;
    std::uint32_t recv_sequence_ = 0;
    bool recv_sequence_known_ = false;
    std::uint32_t request_id_ = 0;
    std::uint32_t request_handle_ = 0;
    std::set<std::uint32_t> posted_;
    std::deque<Posted> arrived_;
};

}  // namespace qevsdk::ua
