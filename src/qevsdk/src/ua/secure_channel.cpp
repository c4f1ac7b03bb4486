// The secure channel over one transport.
#include "secure_channel.h"

#include <algorithm>
#include <string>

#include "messages.h"

namespace qevsdk::ua {

namespace {

constexpr std::uint32_t kMinBuffer = 8192;
// The legacy sequence-number rule: wrap only after this, and restart below 1024.
constexpr std::uint32_t kSequenceWrapFloor = 4294966271u;
constexpr std::size_t kReceiveStep = 65536;

void begin_frame(Writer& w, const char* type, char chunk) {
    w.raw(type, 3);
    w.u8(static_cast<std::uint8_t>(chunk));
    w.u32(0);  // size, patched when the frame is complete
}

void end_frame(Writer& w, std::size_t start) {
    w.patch_u32(start + 4, static_cast<std::uint32_t>(w.size() - start));
}

}  // namespace

// A failure below the service level leaves the channel's framing in an unknown state, so the
// channel is marked broken before the failure goes on (a malformed message reported as such);
// the client then opens a new one. A service fault is the server's answer to one request and,
// where `faults` says so, leaves the channel as it is.
template <typename Step>
decltype(auto) SecureChannel::breaking_on_failure(Faults faults, Step&& step) {
    try {
        return step();
    } catch (const ServiceError&) {
        if (faults == Faults::break_channel) {
            state_ = State::broken;
        }
        throw;
    } catch (const DecodeError& e) {
        state_ = State::broken;
        throw invalid_message(e);
    } catch (...) {
        state_ = State::broken;
        throw;
    }
}

SecureChannel::SecureChannel(std::unique_ptr<Transport> transport, ChannelSettings settings)
    : transport_(std::move(transport)),
      settings_(std::move(settings)),
      frames_(settings_.receive_buffer) {
    assembler_.set_limits(settings_.max_message, settings_.max_chunks);
}

SecureChannel::~SecureChannel() {
    close();
}

std::uint32_t SecureChannel::next_request_id() {
    if (++request_id_ == 0) {
        request_id_ = 1;
    }
    return request_id_;
}

void SecureChannel::limit_request_message(std::uint32_t bytes) {
    session_max_message_ = bytes;
}

void SecureChannel::open(std::string_view endpoint_url) {
    const Clock::time_point deadline = Clock::now() + settings_.request_timeout;
    breaking_on_failure(Faults::break_channel, [&] {
        const ChannelSecurity& sec = settings_.security;
        if (sec.secure()) {
            if (!sec.own || !sec.server) {
                throw UaError(status::BadConfigurationError,
                              "a secured channel needs the client's and the server's certificates");
            }
            asymmetric_.emplace(sec);
        }
        if (endpoint_url.size() >= 4096) {
            throw UaError(status::BadTcpEndpointUrlInvalid, "the endpoint URL is too long");
        }
        out_.clear();
        begin_frame(out_, "HEL", 'F');
        out_.u32(0);  // ProtocolVersion
        out_.u32(settings_.receive_buffer);
        out_.u32(settings_.send_buffer);
        out_.u32(settings_.max_message);
        out_.u32(settings_.max_chunks);
        out_.string(endpoint_url);
        end_frame(out_, 0);
        transport_->send(out_.data(), out_.size(), deadline);

        const Frame f = receive_expected(FrameType::Acknowledge, deadline,
                                         "the server did not acknowledge the connection");
        Reader r(f.body().data(), f.body().size());
        r.skip(4);  // ProtocolVersion
        const std::uint32_t server_receive = r.u32();
        const std::uint32_t server_send = r.u32();
        peer_max_message_ = r.u32();
        peer_max_chunks_ = r.u32();
        if (server_receive < kMinBuffer || server_send < kMinBuffer ||
            (peer_max_message_ != 0 && peer_max_message_ < kMinBuffer)) {
            throw UaError(status::BadConnectionRejected,
                          "the server offered buffers below the 8192-byte minimum");
        }
        send_chunk_ = std::min(settings_.send_buffer, server_receive);

        const std::uint32_t id = next_request_id();
        send_open(false, id, deadline);
        await_open(id, deadline);
        state_ = State::open;
    });
}

void SecureChannel::send_open(bool renew, std::uint32_t request_id, Clock::time_point deadline) {
    Writer body;
    RequestContext ctx{nullptr, next_request_handle(), timeout_hint_ms()};
    if (asymmetric_) {
        // A fresh nonce for every token, so that every token gets keys of its own.
        client_nonce_ = crypto::random_bytes(kNonceLength);
        body.u32(++send_sequence_);
        body.u32(request_id);
        encode_open_secure_channel(body, ctx, renew, settings_.requested_lifetime_ms,
                                   settings_.security.mode, client_nonce_);
        asymmetric_->seal(out_, channel_id_, {body.data(), body.size()}, send_chunk_);
        transport_->send(out_.data(), out_.size(), deadline);
        return;
    }
    encode_open_secure_channel(body, ctx, renew, settings_.requested_lifetime_ms);
    out_.clear();
    begin_frame(out_, "OPN", 'F');
    out_.u32(channel_id_);
    out_.string(kSecurityPolicyNone);
    out_.null_string();  // SenderCertificate
    out_.null_string();  // ReceiverCertificateThumbprint
    out_.u32(++send_sequence_);
    out_.u32(request_id);
    out_.raw(body.data(), body.size());
    end_frame(out_, 0);
    transport_->send(out_.data(), out_.size(), deadline);
}

void SecureChannel::await_open(std::uint32_t request_id, Clock::time_point deadline) {
    Frame f = receive_frame(deadline);
    // Responses to posted requests may come first; they are kept for poll().
    while (f.type == FrameType::Message && state_ == State::open) {
        (void)take_message(f, 0);
        f = receive_frame(deadline);
    }
    if (f.type == FrameType::Error) {
        throw_error_frame(f);
    }
    if (f.type != FrameType::Open) {
        throw UaError(status::BadTcpMessageTypeInvalid,
                      "the server did not answer the secure channel request");
    }
    Reader r(f.body().data(), f.body().size());
    const std::uint32_t channel = r.u32();
    std::vector<std::uint8_t> plain;
    if (asymmetric_) {
        plain = asymmetric_->open(f.bytes);
        r = Reader(plain.data(), plain.size());
    } else {
        if (r.string_view() != kSecurityPolicyNone) {
            throw UaError(status::BadSecurityChecksFailed,
                          "the server answered with another security policy than None");
        }
        r.skip_string();  // SenderCertificate
        r.skip_string();  // ReceiverCertificateThumbprint
    }
    const std::uint32_t seq = r.u32();
    if (!recv_sequence_known_) {
        recv_sequence_ = seq;
        recv_sequence_known_ = true;
    } else {
        check_sequence(seq);
    }
    if (r.u32() != request_id) {
        throw UaError(status::BadUnknownResponse,
                      "the secure channel answer has a wrong request id");
    }
    const SecurityToken token = decode_open_secure_channel_response(r);
    if (state_ == State::open && (channel != channel_id_ || token.channel_id != channel_id_)) {
        throw UaError(status::BadSecureChannelIdInvalid, "the server changed the channel id");
    }
    if (asymmetric_) {
        const auto& policy = *settings_.security.policy;
        if (token.server_nonce.size() < kNonceLength) {
            throw UaError(status::BadNonceInvalid,
                          "the server sent a nonce of " +
                              std::to_string(token.server_nonce.size()) +
                              " bytes for the secure channel, fewer than 32");
        }
        const ChannelKeys keys = derive_channel_keys(policy, client_nonce_, token.server_nonce);
        const SecurityMode mode = settings_.security.mode;
        // What we send switches to the new keys now; the server may still answer under the
        // old token until it has seen a message under the new one.
        send_codec_.emplace(policy, mode, keys.client, true);
        if (receive_codec_) {
            previous_receive_codec_ = std::move(receive_codec_);
        }
        receive_codec_.emplace(policy, mode, keys.server, false);
    }
    channel_id_ = token.channel_id;
    previous_token_id_ = state_ == State::open ? token_id_ : token.token_id;
    token_id_ = token.token_id;
    if (token.revised_lifetime_ms == 0) {
        renew_at_ = Clock::time_point::max();
    } else {
        renew_at_ = now() + std::chrono::milliseconds(token.revised_lifetime_ms) * 3 / 4;
    }
}

void SecureChannel::check_sequence(std::uint32_t seq) {
    const bool next = seq == recv_sequence_ + 1;
    const bool wrapped = recv_sequence_ > kSequenceWrapFloor && seq < 1024;
    if (!next && !wrapped) {
        throw UaError(status::BadSequenceNumberInvalid, "the server sent sequence number " +
                                                            std::to_string(seq) + " after " +
                                                            std::to_string(recv_sequence_));
    }
    recv_sequence_ = seq;
}

void SecureChannel::throw_error_frame(const Frame& f) {
    Reader r(f.body().data(), f.body().size());
    const std::uint32_t code = r.u32();
    std::string_view reason = r.string_view();
    if (reason.size() > 4096) {
        reason = reason.substr(0, 4096);
    }
    state_ = State::broken;
    throw UaError(code, "the server reported " + status_text(code) +
                            (reason.empty() ? std::string() : ": " + std::string(reason)));
}

Frame SecureChannel::receive_frame(Clock::time_point deadline) {
    if (auto f = receive_frame_by(deadline)) {
        return std::move(*f);
    }
    throw UaError(status::BadTimeout, "the server did not answer in time");
}

std::optional<Frame> SecureChannel::receive_frame_by(Clock::time_point deadline) {
    for (;;) {
        if (auto f = frames_.next()) {
            return f;
        }
        auto space = frames_.writable(kReceiveStep);
        const std::size_t n = transport_->receive_some(space.data(), space.size(), deadline);
        if (n == 0) {
            return std::nullopt;
        }
        frames_.commit(n);
    }
}

std::size_t SecureChannel::chunk_body() const {
    return send_codec_ ? send_codec_->max_body(send_chunk_) : send_chunk_ - kSymmetricPrefixSize;
}

void SecureChannel::send_chunks(const char* type, std::span<const std::uint8_t> body,
                                std::uint32_t request_id, Clock::time_point deadline) {
    const std::size_t per_chunk = chunk_body();
    const std::size_t chunks = body.empty() ? 1 : (body.size() + per_chunk - 1) / per_chunk;
    out_.clear();
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::size_t start = out_.size();
        begin_frame(out_, type, i + 1 == chunks ? 'F' : 'C');
        out_.u32(channel_id_);
        out_.u32(token_id_);
        out_.u32(++send_sequence_);
        out_.u32(request_id);
        const std::size_t offset = i * per_chunk;
        out_.raw(body.data() + offset, std::min(per_chunk, body.size() - offset));
        if (send_codec_) {
            send_codec_->seal(out_.bytes(), start);
        } else {
            end_frame(out_, start);
        }
    }
    transport_->send(out_.data(), out_.size(), deadline);
}

Reader SecureChannel::request(const Writer& body, std::chrono::milliseconds timeout) {
    if (!usable()) {
        throw UaError(status::BadSecureChannelClosed, "the connection to the server is closed");
    }
    const std::size_t per_chunk = chunk_body();
    const std::size_t chunks = (body.size() + per_chunk - 1) / per_chunk;
    const auto over = [&](std::uint32_t limit) { return limit != 0 && body.size() > limit; };
    if (over(peer_max_message_) || over(session_max_message_) ||
        (peer_max_chunks_ != 0 && chunks > peer_max_chunks_)) {
        throw ServiceError(status::BadRequestTooLarge, "the request is too large for the server");
    }
    const Clock::time_point deadline = Clock::now() + std::min(settings_.request_timeout, timeout);
    return breaking_on_failure(Faults::keep_channel, [&] {
        renew_if_due(deadline);
        const std::uint32_t id = next_request_id();
        send_chunks("MSG", {body.data(), body.size()}, id, deadline);
        return await_response(id, deadline);
    });
}

void SecureChannel::renew_if_due(Clock::time_point deadline) {
    if (now() < renew_at_) {
        return;
    }
    try {
        const std::uint32_t id = next_request_id();
        send_open(true, id, deadline);
        await_open(id, deadline);
    } catch (const ServiceError& e) {
        // Without a fresh token the channel dies soon: treat it as lost now.
        throw UaError(e.code(), std::string("renewing the secure channel failed: ") + e.what());
    }
}

std::uint32_t SecureChannel::post(const Writer& body) {
    if (!usable()) {
        throw UaError(status::BadSecureChannelClosed, "the connection to the server is closed");
    }
    if ((peer_max_message_ != 0 && body.size() > peer_max_message_) ||
        (session_max_message_ != 0 && body.size() > session_max_message_)) {
        throw ServiceError(status::BadRequestTooLarge, "the request is too large for the server");
    }
    const Clock::time_point deadline = Clock::now() + settings_.request_timeout;
    return breaking_on_failure(Faults::keep_channel, [&] {
        renew_if_due(deadline);
        const std::uint32_t id = next_request_id();
        send_chunks("MSG", {body.data(), body.size()}, id, deadline);
        posted_.insert(id);
        return id;
    });
}

std::optional<SecureChannel::Posted> SecureChannel::poll(Clock::time_point deadline) {
    const bool timed_out = breaking_on_failure(Faults::break_channel, [&] {
        while (arrived_.empty() && usable() && !posted_.empty()) {
            auto next = receive_frame_by(deadline);
            if (!next) {
                return true;
            }
            Frame& f = *next;
            if (f.type == FrameType::Error) {
                throw_error_frame(f);
            }
            if (f.type != FrameType::Message) {
                throw UaError(status::BadTcpMessageTypeInvalid,
                              "the server sent an unexpected message while none was awaited");
            }
            (void)take_message(f, 0);
        }
        return false;
    });
    if (timed_out || arrived_.empty()) {
        return std::nullopt;
    }
    Posted p = std::move(arrived_.front());
    arrived_.pop_front();
    return p;
}

Frame SecureChannel::receive_expected(FrameType expected, Clock::time_point deadline,
                                      const char* unexpected) {
    Frame f = receive_frame(deadline);
    if (f.type == FrameType::Error) {
        throw_error_frame(f);
    }
    if (f.type != expected) {
        throw UaError(status::BadTcpMessageTypeInvalid, unexpected);
    }
    return f;
}

Reader SecureChannel::await_response(std::uint32_t request_id, Clock::time_point deadline) {
    for (;;) {
        const Frame f =
            receive_expected(FrameType::Message, deadline,
                             "the server sent an unexpected message while a response was awaited");
        if (auto r = take_message(f, request_id)) {
            return *r;
        }
    }
}

std::optional<Reader> SecureChannel::take_message(const Frame& f, std::uint32_t awaited) {
    Reader r(f.body().data(), f.body().size());
    if (r.u32() != channel_id_) {
        throw UaError(status::BadSecureChannelIdInvalid, "a response for another channel arrived");
    }
    const std::uint32_t token = r.u32();
    if (token != token_id_ && token != previous_token_id_) {
        throw UaError(status::BadSecureChannelTokenUnknown,
                      "a response carries an unknown security token");
    }
    if (receive_codec_) {
        r = open_symmetric(f, token);
    }
    check_sequence(r.u32());
    const std::uint32_t rid = r.u32();
    const bool is_posted = rid != awaited && posted_.count(rid) != 0;
    if (rid != awaited && !is_posted) {
        throw UaError(status::BadUnknownResponse, "a response to an unknown request arrived");
    }
    const auto result = assembler_.add(rid, f.chunk, {r.position(), r.remaining()});
    if (result == ChunkAssembler::Result::Incomplete) {
        return std::nullopt;
    }
    const auto m = assembler_.message();
    if (is_posted) {
        Posted p;
        p.request_id = rid;
        if (result == ChunkAssembler::Result::Complete) {
            p.body.assign(m.begin(), m.end());
        } else {
            Reader a(m.data(), m.size());
            p.abort_code = a.u32();
            if (p.abort_code == 0) {
                p.abort_code = status::BadUnexpectedError;
            }
        }
        posted_.erase(rid);
        arrived_.push_back(std::move(p));
        return std::nullopt;
    }
    if (result == ChunkAssembler::Result::Complete) {
        return Reader(m.data(), m.size());
    }
    Reader a(m.data(), m.size());
    const std::uint32_t code = a.u32();
    const std::string reason(a.string_view());
    throw ServiceError(code, "the server aborted the response: " + status_text(code) +
                                 (reason.empty() ? "" : " " + reason));
}

Reader SecureChannel::open_symmetric(const Frame& f, std::uint32_t token) {
    if (token == token_id_) {
        // The server has moved to the newest token: the old keys are done with.
        previous_receive_codec_.reset();
        previous_token_id_ = token_id_;
        const auto plain = receive_codec_->open(f.bytes);
        return Reader(plain.data(), plain.size());
    }
    if (!previous_receive_codec_) {
        throw UaError(status::BadSecureChannelTokenUnknown,
                      "a response carries a security token that has been replaced");
    }
    const auto plain = previous_receive_codec_->open(f.bytes);
    return Reader(plain.data(), plain.size());
}

void SecureChannel::close() {
    if (!transport_) {
        return;
    }
    if (usable()) {
        try {
            Writer body;
            RequestContext ctx{nullptr, next_request_handle(), timeout_hint_ms()};
            encode_close_secure_channel(body, ctx);
            const auto deadline =
                Clock::now() + std::min(settings_.request_timeout, std::chrono::milliseconds(1000));
            send_chunks("CLO", {body.data(), body.size()}, next_request_id(), deadline);
        } catch (...) {
            // The server may be gone already; the socket is closed below either way.
        }
    }
    state_ = State::closed;
    transport_->close();
}

}  // namespace qevsdk::ua
