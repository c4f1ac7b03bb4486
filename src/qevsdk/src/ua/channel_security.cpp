// Chunk security for the RSA policies: sign then encrypt, verify after decrypting.
#include "channel_security.h"

#include <cstring>

namespace qevsdk::ua {

namespace {

constexpr std::size_t kSymmetricHeader = 16;  // message header, channel id, token id
constexpr std::size_t kSequenceHeader = 8;

[[noreturn]] void checks_failed(const char* why) {
    throw UaError(status::BadSecurityChecksFailed, why);
}

SymmetricKeys split(const SecurityPolicy& p, const crypto::Bytes& material) {
    const auto at = [&material](std::size_t from, std::size_t n) {
        return crypto::Bytes(material.begin() + static_cast<std::ptrdiff_t>(from),
                             material.begin() + static_cast<std::ptrdiff_t>(from + n));
    };
    return {at(0, p.sign_key), at(p.sign_key, p.enc_key), at(p.sign_key + p.enc_key, kAesBlock)};
}

}  // namespace

ChannelKeys derive_channel_keys(const SecurityPolicy& p, crypto::ByteView client_nonce,
                                crypto::ByteView server_nonce) {
    const std::size_t length = p.sign_key + p.enc_key + kAesBlock;
    // Each side's keys come from the other side's nonce as secret and its own as seed.
    return {split(p, crypto::p_sha256(server_nonce, client_nonce, length)),
            split(p, crypto::p_sha256(client_nonce, server_nonce, length))};
}

// --- symmetric chunks

SymmetricCodec::SymmetricCodec(const SecurityPolicy&, SecurityMode mode, const SymmetricKeys& keys,
                               bool sending)
    : encrypt_(mode == SecurityMode::SignAndEncrypt), mac_(keys.signing) {
    if (encrypt_) {
        aes_.emplace(keys.encrypting, keys.iv, sending);
    }
}

std::size_t SymmetricCodec::max_body(std::size_t chunk_size) const {
    if (!encrypt_) {
        return chunk_size - kSymmetricHeader - kSequenceHeader - kSymmetricSignatureLength;
    }
    // Whole AES blocks after the plain header; at least the padding-size byte.
    const std::size_t blocks = (chunk_size - kSymmetricHeader) / kAesBlock;
    return blocks * kAesBlock - kSymmetricSignatureLength - kSequenceHeader - 1;
}

void SymmetricCodec::seal(std::vector<std::uint8_t>& out, std::size_t start) {
    if (encrypt_) {
        const std::size_t plain = out.size() - start - kSymmetricHeader;
        const std::size_t pad =
            (kAesBlock - (plain + kSymmetricSignatureLength + 1) % kAesBlock) % kAesBlock;
        out.insert(out.end(), pad + 1, static_cast<std::uint8_t>(pad));
    }
    const auto size = static_cast<std::uint32_t>(out.size() - start + kSymmetricSignatureLength);
    std::memcpy(out.data() + start + 4, &size, 4);
    std::uint8_t mac[kSymmetricSignatureLength];
    mac_.compute({out.data() + start, out.size() - start}, mac);
    out.insert(out.end(), mac, mac + kSymmetricSignatureLength);
    if (encrypt_) {
        std::uint8_t* p = out.data() + start + kSymmetricHeader;
        aes_->apply(p, p, out.size() - start - kSymmetricHeader);
    }
}

std::span<const std::uint8_t> SymmetricCodec::open(std::span<const std::uint8_t> frame) {
    if (frame.size() < kSymmetricHeader + kSequenceHeader + kSymmetricSignatureLength) {
        checks_failed("a secured chunk is too short");
    }
    std::span<const std::uint8_t> chunk = frame;
    if (encrypt_) {
        const std::size_t secret = frame.size() - kSymmetricHeader;
        if (secret % kAesBlock != 0) {
            checks_failed("an encrypted chunk is not a whole number of blocks");
        }
        scratch_.resize(frame.size());
        std::memcpy(scratch_.data(), frame.data(), kSymmetricHeader);
        aes_->apply(frame.data() + kSymmetricHeader, scratch_.data() + kSymmetricHeader, secret);
        chunk = scratch_;
    }
    const std::size_t signed_size = chunk.size() - kSymmetricSignatureLength;
    std::uint8_t mac[kSymmetricSignatureLength];
    mac_.compute(chunk.first(signed_size), mac);
    if (!crypto::equal({mac, kSymmetricSignatureLength}, chunk.subspan(signed_size))) {
        checks_failed("a chunk from the server has a wrong signature");
    }
    std::size_t end = signed_size;
    if (encrypt_) {
        const std::size_t pad = chunk[end - 1];
        if (pad + 1 > end - kSymmetricHeader - kSequenceHeader) {
            checks_failed("a chunk from the server has invalid padding");
        }
        end -= pad + 1;
    }
    return chunk.subspan(kSymmetricHeader, end - kSymmetricHeader);
}

// --- the OpenSecureChannel chunk

AsymmetricCodec::AsymmetricCodec(const ChannelSecurity& security)
    : policy_(*security.policy),
      own_(security.own),
      server_(*security.server),
      server_thumbprint_(security.server->thumbprint()),
      own_thumbprint_(security.own->certificate.thumbprint()) {}

void AsymmetricCodec::seal(Writer& out, std::uint32_t channel_id, crypto::ByteView plain,
                           std::size_t max_chunk) {
    const std::size_t k = server_.key_bytes();
    const std::size_t block = server_.plain_block(policy_);
    const std::size_t signature = own_->key.key_bytes();
    // A second padding-size byte only when the encrypting key is longer than 2048 bits.
    const std::size_t extra = k > 256 ? 1 : 0;
    const std::size_t pad = (block - (plain.size() + signature + 1 + extra) % block) % block;
    const std::size_t blocks = (plain.size() + pad + 1 + extra + signature) / block;

    const auto& cert = own_->certificate.der();
    out.clear();
    out.raw("OPNF", 4);
    out.u32(0);  // size, below
    out.u32(channel_id);
    out.string(policy_.uri);
    out.byte_string(cert.data(), cert.size());
    out.byte_string(server_thumbprint_.data(), server_thumbprint_.size());
    const std::size_t header = out.size();
    const std::size_t total = header + blocks * k;
    if (total > max_chunk) {
        throw UaError(status::BadRequestTooLarge,
                      "the secure channel request does not fit the server's buffer (" +
                          std::to_string(total) + " bytes, the server takes " +
                          std::to_string(max_chunk) + ")");
    }
    out.patch_u32(4, static_cast<std::uint32_t>(total));
    out.raw(plain.data(), plain.size());
    out.bytes().insert(out.bytes().end(), pad + 1, static_cast<std::uint8_t>(pad & 0xFF));
    if (extra) {
        out.u8(static_cast<std::uint8_t>(pad >> 8));
    }
    const crypto::Bytes sig = own_->key.sign(policy_, {out.data(), out.size()});
    out.raw(sig.data(), sig.size());
    const crypto::Bytes secret =
        server_.encrypt(policy_, {out.data() + header, out.size() - header});
    out.bytes().resize(header);
    out.raw(secret.data(), secret.size());
}

crypto::Bytes AsymmetricCodec::open(std::span<const std::uint8_t> frame) {
    Reader r(frame.data(), frame.size());
    r.skip(12);  // message header, channel id
    if (r.string_view() != policy_.uri) {
        checks_failed("the server answered with another security policy");
    }
    const std::string_view sender = r.string_view();
    const std::string_view receiver = r.string_view();
    const crypto::ByteView sender_bytes(reinterpret_cast<const std::uint8_t*>(sender.data()),
                                        sender.size());
    // The sender certificate may carry its issuers behind it; the leaf comes first.
    const auto& expected = server_.der();
    if (sender_bytes.size() < expected.size() ||
        !crypto::equal(sender_bytes.first(expected.size()), expected)) {
        throw UaError(status::BadCertificateInvalid,
                      "the server secured the channel with another certificate than the one "
                      "its endpoint names");
    }
    if (!crypto::equal({reinterpret_cast<const std::uint8_t*>(receiver.data()), receiver.size()},
                       own_thumbprint_)) {
        throw UaError(status::BadCertificateInvalid,
                      "the server's answer was not meant for this client's certificate");
    }
    const std::size_t header = frame.size() - r.remaining();
    crypto::Bytes plain;
    try {
        plain = own_->key.decrypt(policy_, {r.position(), r.remaining()});
    } catch (const crypto::CryptoError&) {
        checks_failed("the server's secure channel answer cannot be decrypted");
    }
    const std::size_t signature = server_.key_bytes();
    const std::size_t extra = own_->key.key_bytes() > 256 ? 1 : 0;
    if (plain.size() < kSequenceHeader + 1 + extra + signature) {
        checks_failed("the server's secure channel answer is too short");
    }
    const std::size_t signed_plain = plain.size() - signature;
    crypto::Bytes signed_data(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(header));
    signed_data.insert(signed_data.end(), plain.begin(),
                       plain.begin() + static_cast<std::ptrdiff_t>(signed_plain));
    if (!server_.verify(policy_, signed_data, {plain.data() + signed_plain, signature})) {
        checks_failed("the server's secure channel answer has a wrong signature");
    }
    std::size_t pad = plain[signed_plain - 1];
    if (extra) {
        pad = (pad << 8) | plain[signed_plain - 2];
    }
    if (pad + 1 + extra > signed_plain - kSequenceHeader) {
        checks_failed("the server's secure channel answer has invalid padding");
    }
    plain.resize(signed_plain - pad - 1 - extra);
    return plain;
}

}  // namespace qevsdk::ua
