// The security policies the client speaks: their URIs and the sizes and algorithm choices that
// differ between them. Pure data, so that code without OpenSSL can reason about a policy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qevsdk::ua {

enum class PolicyId : std::uint8_t {
    None,
    Basic256Sha256,
    Aes128Sha256RsaOaep,
    Aes256Sha256RsaPss
};

// MessageSecurityMode as it goes on the wire.
enum class SecurityMode : std::int32_t { None = 1, Sign = 2, SignAndEncrypt = 3 };

struct SecurityPolicy {
    PolicyId id;
    std::string_view name;  // the URI's fragment, e.g. "Basic256Sha256"
    std::string_view uri;
    // What SignatureData.algorithm and a token's encryptionAlgorithm must name.
    std::string_view signature_uri;
    std::string_view encryption_uri;
    bool rsa_pss;          // asymmetric signatures RSASSA-PSS (else PKCS#1 v1.5), both SHA-256
    bool oaep_sha256;      // RSA-OAEP with SHA-256 and MGF1-SHA-256 (else SHA-1 for both)
    std::size_t enc_key;   // AES key length in bytes
    std::size_t sign_key;  // HMAC-SHA256 key length in bytes

    bool secure() const { return id != PolicyId::None; }
    // How much smaller one RSA-OAEP plaintext block is than the key.
    std::size_t oaep_overhead() const { return oaep_sha256 ? 66 : 42; }
};

inline constexpr std::size_t kNonceLength = 32;
inline constexpr std::size_t kSymmetricSignatureLength = 32;  // HMAC-SHA256
inline constexpr std::size_t kAesBlock = 16;

inline constexpr SecurityPolicy kPolicies[] = {
    {PolicyId::None, "None", "http://opcfoundation.org/UA/SecurityPolicy#None", "", "", false,
     false, 0, 0},
    {PolicyId::Basic256Sha256, "Basic256Sha256",
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
     "http://www.w3.org/2001/04/xmlenc#rsa-oaep", false, false, 32, 32},
    {PolicyId::Aes128Sha256RsaOaep, "Aes128_Sha256_RsaOaep",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
     "http://www.w3.org/2001/04/xmlenc#rsa-oaep", false, false, 16, 32},
    {PolicyId::Aes256Sha256RsaPss, "Aes256_Sha256_RsaPss",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
     "http://opcfoundation.org/UA/security/rsa-pss-sha2-256",
     "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256", true, true, 32, 32},
};

inline const SecurityPolicy& policy_of(PolicyId id) {
    return kPolicies[static_cast<std::size_t>(id)];
}

// By full URI only; nullptr for a policy the client does not speak.
inline const SecurityPolicy* policy_by_uri(std::string_view uri) {
    for (const auto& p : kPolicies) {
        if (p.uri == uri) {
            return &p;
        }
    }
    return nullptr;
}

}  // namespace qevsdk::ua
