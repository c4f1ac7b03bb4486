// The channel's cryptography: published vectors for the primitives, the regression vectors
// of docs/opcua-security.md for key derivation and symmetric chunks, and round trips for the
// RSA parts (OAEP and PSS are randomised, so they cannot have fixed outputs).
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "test_bytes.h"
#include "ua/channel_security.h"
#include "ua/crypto.h"

namespace qevsdk::ua {
namespace {

using crypto::Bytes;
using test::hex;
using test::to_hex;

Bytes range(std::uint8_t from, std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(from + i);
    return b;
}

// Keys are slow to make under the sanitizers; every test shares these.
const Credentials& credentials(int bits) {
    static std::map<int, Credentials> made;
    auto it = made.find(bits);
    if (it == made.end()) {
        auto key = crypto::PrivateKey::generate_rsa(bits);
        auto cert = crypto::make_self_signed(
            key, {"urn:test:" + std::to_string(bits), "Test " + std::to_string(bits), "localhost"});
        it = made.emplace(bits, Credentials{cert, key}).first;
    }
    return it->second;
}

TEST(UaCrypto, PrimitivesMatchPublishedVectors) {
    // TLS 1.2 PRF-SHA256 vector; the label is simply part of the seed.
    Bytes seed = hex("\"test label\"");
    const Bytes tls_seed = hex("a0ba9f936cda311827a6f796ffd5198c");
    seed.insert(seed.end(), tls_seed.begin(), tls_seed.end());
    EXPECT_EQ(to_hex(crypto::p_sha256(hex("9bbe436ba940f017b17652849a71db35"), seed, 100)),
              to_hex(hex("e3f229ba727be17b8d122620557cd453c2aab21d07c3d495329b52d4e61edb5a"
                         "6b301791e90d35c9c9a46b4e14baf9af0fa022f7077def17abfd3797c0564bab"
                         "4fbc91666e9def9b97fce34f796789baa48082d122ee42c5a72e5a5110fff701"
                         "87347b66")));

    std::uint8_t mac[32];
    crypto::hmac_sha256(Bytes(20, 0x0b), hex("\"Hi There\""), mac);
    EXPECT_EQ(to_hex(mac, 32),
              to_hex(hex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7")));
    // The keyed form starts afresh for every chunk: a second message must not be hashed on top
    // of the first.
    crypto::HmacSha256 keyed(Bytes(20, 0x0b));
    for (int i = 0; i < 2; ++i) {
        keyed.compute(hex("\"Hi There\""), mac);
        EXPECT_EQ(to_hex(mac, 32),
                  to_hex(hex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7")));
    }

    const Bytes iv = range(0, 16);
    const Bytes plain = hex("6bc1bee22e409f96e93d7e117393172a");
    Bytes out(16);
    crypto::AesCbc aes128(hex("2b7e151628aed2a6abf7158809cf4f3c"), iv, true);
    aes128.apply(plain.data(), out.data(), 16);
    EXPECT_EQ(to_hex(out), to_hex(hex("7649abac8119b246cee98e9b12e9197d")));
    // The IV restarts for every call: the same input gives the same output again.
    aes128.apply(plain.data(), out.data(), 16);
    EXPECT_EQ(to_hex(out), to_hex(hex("7649abac8119b246cee98e9b12e9197d")));
    crypto::AesCbc aes256(hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"),
                          iv, true);
    aes256.apply(plain.data(), out.data(), 16);
    EXPECT_EQ(to_hex(out), to_hex(hex("f58c4c04d6e5f1ba779eabfb5f7bfbd6")));
    EXPECT_THROW(aes256.apply(plain.data(), out.data(), 15), crypto::CryptoError);
}

TEST(UaCrypto, ChannelKeysComeFromTheRightNonceInTheRightOrder) {
    const Bytes client_nonce = range(0x00, 32);
    const Bytes server_nonce = range(0x20, 32);
    const auto k =
        derive_channel_keys(policy_of(PolicyId::Basic256Sha256), client_nonce, server_nonce);
    EXPECT_EQ(to_hex(k.client.signing),
              to_hex(hex("dd585db0c102dd1a4c1ed4dd195606dec3f7a1c789afca78f9479ed3a5d668af")));
    EXPECT_EQ(to_hex(k.client.encrypting),
              to_hex(hex("ce49cb8f1c65a827f412c48e71c9f9cb3b5c2ee2fc2e4b3bd46d4098b5e45475")));
    EXPECT_EQ(to_hex(k.client.iv), to_hex(hex("a77832c6215b6e7ab85f2e668be7aeff")));
    EXPECT_EQ(to_hex(k.server.signing),
              to_hex(hex("b72593c43fee5fafa0256cd6bb904ff40c066a225db95f66dd744e20858a2220")));
    EXPECT_EQ(to_hex(k.server.iv), to_hex(hex("c513e9172274d5ed54e52a3552901ae0")));

    const auto a =
        derive_channel_keys(policy_of(PolicyId::Aes128Sha256RsaOaep), client_nonce, server_nonce);
    EXPECT_EQ(to_hex(a.client.encrypting), to_hex(hex("ce49cb8f1c65a827f412c48e71c9f9cb")));
    EXPECT_EQ(to_hex(a.client.iv), to_hex(hex("3b5c2ee2fc2e4b3bd46d4098b5e45475")));
    EXPECT_EQ(to_hex(a.server.encrypting), to_hex(hex("ddf75067e3d76ac714c08e24eabd85ff")));
}

// The regression chunk: channel 1, token 1, sequence 51, request 1, body "Hello, OPC UA".
Bytes hello_chunk() {
    Writer w;
    w.raw("MSGF", 4);
    w.u32(0);
    w.u32(1);
    w.u32(1);
    w.u32(51);
    w.u32(1);
    w.raw("Hello, OPC UA", 13);
    return w.bytes();
}

TEST(UaCrypto, SymmetricChunksMatchTheRegressionVectorsAndOpenAgain) {
    const Bytes client_nonce = range(0x00, 32);
    const Bytes server_nonce = range(0x20, 32);
    struct Case {
        PolicyId policy;
        SecurityMode mode;
        const char* expected;
    };
    const Case cases[] = {
        {PolicyId::Basic256Sha256, SecurityMode::SignAndEncrypt,
         "4d534746500000000100000001000000d08843a60df0092578da81abd33e766d028be1aebcef348fb590f8e9"
         "282c926aa7879cf2bbac482c059e50cd38c8ba959519035a9bba69e399e28d447a04c646"},
        {PolicyId::Aes256Sha256RsaPss, SecurityMode::SignAndEncrypt,
         "4d534746500000000100000001000000d08843a60df0092578da81abd33e766d028be1aebcef348fb590f8e9"
         "282c926aa7879cf2bbac482c059e50cd38c8ba959519035a9bba69e399e28d447a04c646"},
        {PolicyId::Aes128Sha256RsaOaep, SecurityMode::SignAndEncrypt,
         "4d53474650000000010000000100000043f7576ed1ea3ba256a8d0de47bfbbbc706a67ad7e5d1eca88cf91a2"
         "508caa039c7260491ed73abcacd92c17948e839356a4689b5f76ee0beca1003b14170836"},
        {PolicyId::Basic256Sha256, SecurityMode::Sign,
         "4d534746450000000100000001000000330000000100000048656c6c6f2c204f504320554175a78f6148bc1c"
         "cd6d9da2cd8d9368bfba1771c7f68ae7ad99135fadb7d02070"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(policy_of(c.policy).name) + " mode " +
                     std::to_string(static_cast<int>(c.mode)));
        const auto& p = policy_of(c.policy);
        const auto keys = derive_channel_keys(p, client_nonce, server_nonce);
        SymmetricCodec sender(p, c.mode, keys.client, true);
        Bytes chunk = hello_chunk();
        sender.seal(chunk, 0);
        EXPECT_EQ(to_hex(chunk), to_hex(hex(c.expected)));

        // The server's side opens it with the same keys.
        SymmetricCodec receiver(p, c.mode, keys.client, false);
        const auto plain = receiver.open(chunk);
        const Bytes original = hello_chunk();
        EXPECT_EQ(to_hex(Bytes(plain.begin(), plain.end())),
                  to_hex(Bytes(original.begin() + 16, original.end())));

        // Any changed bit, in the plain header or the secured part, is refused.
        for (std::size_t at : {std::size_t{9}, std::size_t{20}, chunk.size() - 1}) {
            Bytes forged = chunk;
            forged[at] ^= 0x01;
            try {
                receiver.open(forged);
                ADD_FAILURE() << "a chunk changed at byte " << at << " was accepted";
            } catch (const UaError& e) {
                EXPECT_EQ(e.code(), status::BadSecurityChecksFailed);
            }
        }
        // The other direction's keys do not open it.
        SymmetricCodec wrong(p, c.mode, keys.server, false);
        EXPECT_THROW(wrong.open(chunk), UaError);
        EXPECT_THROW(receiver.open(Bytes(chunk.begin(), chunk.begin() + 40)), UaError);
    }
}

TEST(UaCrypto, ChunkBodyLimitsFillTheBufferExactly) {
    const auto& p = policy_of(PolicyId::Basic256Sha256);
    const auto keys = derive_channel_keys(p, range(0, 32), range(32, 32));
    SymmetricCodec encrypting(p, SecurityMode::SignAndEncrypt, keys.client, true);
    SymmetricCodec signing(p, SecurityMode::Sign, keys.client, true);
    EXPECT_EQ(encrypting.max_body(8192), 8135u);
    EXPECT_EQ(encrypting.max_body(65535), 65463u);
    EXPECT_EQ(encrypting.max_body(65536), 65479u);
    EXPECT_EQ(signing.max_body(8192), 8136u);
    EXPECT_EQ(signing.max_body(65535), 65479u);
    for (std::size_t chunk_size : {8192u, 8200u, 65535u}) {
        for (auto* codec : {&encrypting, &signing}) {
            Writer w;
            w.raw("MSGF", 4);
            w.u32(0);
            w.u32(1);
            w.u32(1);
            w.u32(1);
            w.u32(1);
            w.bytes().resize(w.size() + codec->max_body(chunk_size), 0xAB);
            codec->seal(w.bytes(), 0);
            EXPECT_LE(w.size(), chunk_size);
            EXPECT_GT(w.size() + 16, chunk_size);
        }
    }
}

TEST(UaCrypto, RsaSignaturesAndEncryptionRoundTripUnderEveryPolicy) {
    const auto& c = credentials(2048);
    const Bytes data = range(7, 300);
    for (auto id :
         {PolicyId::Basic256Sha256, PolicyId::Aes128Sha256RsaOaep, PolicyId::Aes256Sha256RsaPss}) {
        const auto& p = policy_of(id);
        SCOPED_TRACE(std::string(p.name));
        const Bytes sig = c.key.sign(p, data);
        EXPECT_EQ(sig.size(), 256u);
        EXPECT_TRUE(c.certificate.verify(p, data, sig));
        Bytes changed = data;
        changed[0] ^= 1;
        EXPECT_FALSE(c.certificate.verify(p, changed, sig));

        // 300 bytes take two RSA blocks.
        const Bytes secret = c.certificate.encrypt(p, data);
        EXPECT_EQ(secret.size(), 512u);
        EXPECT_EQ(c.key.decrypt(p, secret), data);
    }
    // OAEP with SHA-1 and with SHA-256 do not read each other.
    const Bytes sha1_secret = c.certificate.encrypt(policy_of(PolicyId::Basic256Sha256), data);
    EXPECT_THROW(c.key.decrypt(policy_of(PolicyId::Aes256Sha256RsaPss), sha1_secret),
                 crypto::CryptoError);
    // PKCS#1 v1.5 and PSS signatures are not interchangeable.
    EXPECT_FALSE(c.certificate.verify(policy_of(PolicyId::Aes256Sha256RsaPss), data,
                                      c.key.sign(policy_of(PolicyId::Basic256Sha256), data)));
}

TEST(UaCrypto, SelfSignedCertificatesCarryTheApplicationUriAndAnchorTrust) {
    const auto& c = credentials(2048);
    EXPECT_EQ(c.certificate.application_uri(), "urn:test:2048");
    EXPECT_TRUE(c.certificate.self_signed());
    EXPECT_TRUE(c.key.matches(c.certificate));
    EXPECT_FALSE(credentials(3072).key.matches(c.certificate));
    EXPECT_EQ(c.certificate.key_bytes(), 256u);
    EXPECT_GT(c.certificate.not_after(),
              std::chrono::system_clock::now() + std::chrono::hours(24 * 365));

    EXPECT_EQ(crypto::verify_trust(c.certificate, {c.certificate}), "");
    EXPECT_NE(crypto::verify_trust(c.certificate, {}), "");
    EXPECT_NE(crypto::verify_trust(c.certificate, {credentials(3072).certificate}), "");

    // PEM and DER both load, and the key survives its PEM form.
    const auto pem_key = crypto::PrivateKey::from_pem(c.key.to_pem());
    EXPECT_TRUE(pem_key.matches(c.certificate));
    EXPECT_THROW(crypto::Certificate::from_der(hex("30 03 02 01 00")), crypto::CryptoError);
    EXPECT_THROW(crypto::PrivateKey::from_pem("garbage"), crypto::CryptoError);
}

// The server's side of an OPN is the client's with the roles swapped, so two codecs talk.
TEST(UaCrypto, OpenSecureChannelChunksRoundTripWithTwoByteLengthsForLongKeys) {
    for (int server_bits : {2048, 3072}) {
        for (auto id : {PolicyId::Basic256Sha256, PolicyId::Aes256Sha256RsaPss}) {
            SCOPED_TRACE(std::to_string(server_bits) + " " + std::string(policy_of(id).name));
            const auto& client = credentials(2048);
            const auto& server = credentials(server_bits);
            ChannelSecurity client_side{&policy_of(id), SecurityMode::SignAndEncrypt,
                                        std::make_shared<Credentials>(client), server.certificate};
            ChannelSecurity server_side{&policy_of(id), SecurityMode::SignAndEncrypt,
                                        std::make_shared<Credentials>(server), client.certificate};
            AsymmetricCodec from_client(client_side);
            AsymmetricCodec from_server(server_side);
            for (std::size_t n : {std::size_t{9}, std::size_t{140}, std::size_t{700}}) {
                const Bytes plain = range(1, n);
                Writer w;
                from_client.seal(w, 0, plain, 65535);
                std::uint32_t size;
                std::memcpy(&size, w.data() + 4, 4);
                EXPECT_EQ(size, w.size());
                EXPECT_EQ(from_server.open(w.bytes()), plain);

                from_server.seal(w, 7, plain, 65535);
                EXPECT_EQ(from_client.open(w.bytes()), plain);
                Bytes forged = w.bytes();
                forged[forged.size() - 3] ^= 1;
                EXPECT_THROW(from_client.open(forged), UaError);
            }
            Writer w;
            EXPECT_THROW(from_client.seal(w, 0, range(0, 200), 1000), UaError);
        }
    }
}

}  // namespace
}  // namespace qevsdk::ua
