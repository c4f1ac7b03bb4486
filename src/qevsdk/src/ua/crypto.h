// The cryptography the secure channel needs, over OpenSSL. Only crypto.cpp sees OpenSSL;
// keys and certificates cross this header as opaque handles.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "security_policy.h"

namespace qevsdk::ua::crypto {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// A key or certificate that cannot be read or used, or an OpenSSL failure. The text names
// OpenSSL's own reason where there is one.
class CryptoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

Bytes random_bytes(std::size_t n);
Bytes sha1(ByteView data);
void hmac_sha256(ByteView key, ByteView data, std::uint8_t out[32]);
// The TLS 1.2 P_hash with SHA-256 and no label: the channel's key derivation.
Bytes p_sha256(ByteView secret, ByteView seed, std::size_t length);
// Constant time, so that a forged signature learns nothing from how long the check took.
bool equal(ByteView a, ByteView b);

// HMAC-SHA256 under one key, set up once: a channel signs every chunk with the same key, and
// OpenSSL 3's one-shot call looks the algorithm up again on each use.
class HmacSha256 {
  public:
    explicit HmacSha256(ByteView key);
    ~HmacSha256();
    HmacSha256(HmacSha256&&) noexcept;
    HmacSha256& operator=(HmacSha256&&) noexcept;
    void compute(ByteView data, std::uint8_t out[32]);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// AES-CBC without padding of its own (the channel pads); the IV restarts for every call.
class AesCbc {
  public:
    AesCbc(ByteView key, ByteView iv, bool encrypt);
    ~AesCbc();
    AesCbc(AesCbc&&) noexcept;
    AesCbc& operator=(AesCbc&&) noexcept;
    // `n` must be a multiple of 16; `in` and `out` may be the same.
    void apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class PrivateKey;

class Certificate {
  public:
    // The first certificate of a DER blob; further certificates (a chain) are ignored.
    static Certificate from_der(ByteView der);
    // DER or PEM.
    static Certificate from_file_bytes(ByteView bytes);

    const Bytes& der() const;
    Bytes thumbprint() const;  // SHA-1 of the DER
    std::size_t key_bytes() const;
    std::string subject() const;
    // The first URI in subjectAltName, empty when there is none.
    std::string application_uri() const;
    std::chrono::system_clock::time_point not_after() const;
    bool self_signed() const;

    bool verify(const SecurityPolicy& p, ByteView data, ByteView signature) const;
    // RSA-OAEP of the policy, in as many key-sized blocks as `plain` needs.
    Bytes encrypt(const SecurityPolicy& p, ByteView plain) const;
    // The plaintext block size under the policy (key size less the OAEP overhead).
    std::size_t plain_block(const SecurityPolicy& p) const {
        return key_bytes() - p.oaep_overhead();
    }

    struct Impl;
    const Impl& impl() const { return *impl_; }

  private:
    explicit Certificate(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<const Impl> impl_;
};

class PrivateKey {
  public:
    static PrivateKey generate_rsa(int bits);
    static PrivateKey from_pem(std::string_view pem);
    std::string to_pem() const;

    std::size_t key_bytes() const;
    bool matches(const Certificate& cert) const;
    Bytes sign(const SecurityPolicy& p, ByteView data) const;
    // `cipher` must be a whole number of key-sized blocks.
    Bytes decrypt(const SecurityPolicy& p, ByteView cipher) const;

    struct Impl;
    const Impl& impl() const { return *impl_; }

  private:
    explicit PrivateKey(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<const Impl> impl_;
};

// A self-signed application instance certificate for a client: SHA-256 signature, the
// application URI and host in subjectAltName, key usages servers insist on.
struct CertificateRequest {
    std::string application_uri;
    std::string application_name;
    std::string host;
    int valid_days = 5 * 365;
};
Certificate make_self_signed(const PrivateKey& key, const CertificateRequest& request);

// Whether `cert` is valid now and chains to one of `trusted` (a trusted leaf counts itself).
// The reason when not, empty when it is.
std::string verify_trust(const Certificate& cert, const std::vector<Certificate>& trusted);

}  // namespace qevsdk::ua::crypto
