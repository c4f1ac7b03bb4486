// Securing the chunks of a secure channel: the RSA-protected OpenSecureChannel chunk, key
// derivation from the two nonces, and the signed (and encrypted) symmetric chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec.h"
#include "crypto.h"
#include "security_policy.h"

namespace qevsdk::ua {

// The client's application instance certificate and its key.
struct Credentials {
    crypto::Certificate certificate;
    crypto::PrivateKey key;
};

struct ChannelSecurity {
    const SecurityPolicy* policy = &policy_of(PolicyId::None);
    SecurityMode mode = SecurityMode::None;
    std::shared_ptr<const Credentials> own;     // needed unless the policy is None
    std::optional<crypto::Certificate> server;  // the endpoint's certificate (leaf)

    bool secure() const { return policy->secure() && mode != SecurityMode::None; }
};

struct SymmetricKeys {
    crypto::Bytes signing;
    crypto::Bytes encrypting;
    crypto::Bytes iv;
};

// The keys that secure what the client sends, and what the server sends.
struct ChannelKeys {
    SymmetricKeys client;
    SymmetricKeys server;
};
ChannelKeys derive_channel_keys(const SecurityPolicy& policy, crypto::ByteView client_nonce,
                                crypto::ByteView server_nonce);

// One direction of symmetric chunk security under one token.
class SymmetricCodec {
  public:
    SymmetricCodec(const SecurityPolicy& policy, SecurityMode mode, const SymmetricKeys& keys,
                   bool sending);

    // The most body bytes (after the sequence header) one chunk of `chunk_size` can carry.
    std::size_t max_body(std::size_t chunk_size) const;
    // `out` from `start` holds one chunk: message header, channel and token ids, sequence
    // header and body. Appends padding and signature, writes the size, encrypts.
    void seal(std::vector<std::uint8_t>& out, std::size_t start);
    // Checks and decrypts a received chunk; returns its sequence header and body, valid until
    // the next call. Throws UaError(BadSecurityChecksFailed) for anything forged or garbled.
    std::span<const std::uint8_t> open(std::span<const std::uint8_t> frame);

  private:
    bool encrypt_;
    crypto::HmacSha256 mac_;
    std::optional<crypto::AesCbc> aes_;
    std::vector<std::uint8_t> scratch_;
};

// The RSA-protected OpenSecureChannel chunks of one channel, from the client's side.
class AsymmetricCodec {
  public:
    // `security` must name a secure policy with both certificates.
    explicit AsymmetricCodec(const ChannelSecurity& security);

    // A whole OPN chunk for `plain` (sequence header and body): signed with the client key,
    // encrypted for the server. Throws UaError(BadRequestTooLarge) when it would exceed
    // `max_chunk`.
    void seal(Writer& out, std::uint32_t channel_id, crypto::ByteView plain, std::size_t max_chunk);
    // The server's OPN chunk (header included): checks the policy, that it was meant for our
    // certificate and came from the server's, decrypts and verifies it, and returns its
    // sequence header and body. Throws UaError(BadSecurityChecksFailed or
    // BadCertificateInvalid) otherwise.
    crypto::Bytes open(std::span<const std::uint8_t> frame);

  private:
    const SecurityPolicy& policy_;
    std::shared_ptr<const Credentials> own_;
    crypto::Certificate server_;
    crypto::Bytes server_thumbprint_;
    crypto::Bytes own_thumbprint_;
};

}  // namespace qevsdk::ua
