// The channel's cryptography over OpenSSL 3.
#include "crypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace qevsdk::ua::crypto {

namespace {

// OpenSSL's reason for the last failure, and the queue cleared so that it cannot leak into
// the next caller's message.
std::string openssl_reason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown reason";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

[[noreturn]] void fail(const std::string& what) {
    throw CryptoError(what + ": " + openssl_reason());
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using PkeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using X509Ptr = Owned<X509, X509_free>;
using BioPtr = Owned<BIO, BIO_free_all>;
using BnPtr = Owned<BIGNUM, BN_free>;
using StorePtr = Owned<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = Owned<X509_STORE_CTX, X509_STORE_CTX_free>;
using ExtPtr = Owned<X509_EXTENSION, X509_EXTENSION_free>;

void set_pss(EVP_PKEY_CTX* ctx, int salt) {
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, salt) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) <= 0) {
        fail("cannot set up RSA-PSS");
    }
}

void set_oaep(EVP_PKEY_CTX* ctx, const SecurityPolicy& p) {
    const EVP_MD* md = p.oaep_sha256 ? EVP_sha256() : EVP_sha1();
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) <= 0 || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) <= 0) {
        fail("cannot set up RSA-OAEP");
    }
}

// The certificate's DER encoding, the form it travels and is stored in.
Bytes der_bytes(X509* x) {
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    if (len <= 0) {
        fail("cannot encode the certificate");
    }
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

}  // namespace

struct Certificate::Impl {
    X509Ptr x509;
    Bytes der;
};

struct PrivateKey::Impl {
    PkeyPtr pkey;
};

Bytes random_bytes(std::size_t n) {
    Bytes out(n);
    if (n > 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1) {
        fail("no random bytes");
    }
    return out;
}

Bytes sha1(ByteView data) {
    Bytes out(20);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha1(), nullptr) != 1) {
        fail("SHA-1 failed");
    }
    return out;
}

void hmac_sha256(ByteView key, ByteView data, std::uint8_t out[32]) {
    unsigned int len = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out,
             &len) == nullptr) {
        fail("HMAC-SHA256 failed");
    }
}

Bytes p_sha256(ByteView secret, ByteView seed, std::size_t length) {
    Bytes out;
    out.reserve(length + 32);
    std::uint8_t a[32];
    hmac_sha256(secret, seed, a);  // A(1)
    Bytes input;
    while (out.size() < length) {
        input.assign(a, a + 32);
        input.insert(input.end(), seed.begin(), seed.end());
        std::uint8_t block[32];
        hmac_sha256(secret, input, block);
        out.insert(out.end(), block, block + 32);
        hmac_sha256(secret, ByteView(a, 32), a);  // A(i+1)
    }
    out.resize(length);
    return out;
}

bool equal(ByteView a, ByteView b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// --- HMAC under a fixed key

struct HmacSha256::Impl {
    Owned<EVP_MAC_CTX, EVP_MAC_CTX_free> ctx;
};

HmacSha256::HmacSha256(ByteView key) : impl_(std::make_unique<Impl>()) {
    // One fetch for the process; fetched algorithms are safe to share between threads.
    static EVP_MAC* const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!hmac) {
        fail("HMAC is not available");
    }
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    impl_->ctx.reset(EVP_MAC_CTX_new(hmac));
    if (!impl_->ctx || EVP_MAC_init(impl_->ctx.get(), key.data(), key.size(), params) != 1) {
        fail("cannot set up HMAC-SHA256");
    }
}

HmacSha256::~HmacSha256() = default;
HmacSha256::HmacSha256(HmacSha256&&) noexcept = default;
HmacSha256& HmacSha256::operator=(HmacSha256&&) noexcept = default;

void HmacSha256::compute(ByteView data, std::uint8_t out[32]) {
    std::size_t len = 0;
    // No key: the one given at construction is used again from its prepared state.
    if (EVP_MAC_init(impl_->ctx.get(), nullptr, 0, nullptr) != 1 ||
        EVP_MAC_update(impl_->ctx.get(), data.data(), data.size()) != 1 ||
        EVP_MAC_final(impl_->ctx.get(), out, &len, 32) != 1 || len != 32) {
        fail("HMAC-SHA256 failed");
    }
}

// --- AES-CBC

struct AesCbc::Impl {
    Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> ctx;
    Bytes iv;
};

AesCbc::AesCbc(ByteView key, ByteView iv, bool encrypt) : impl_(std::make_unique<Impl>()) {
    const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                               : key.size() == 32 ? EVP_aes_256_cbc()
                                                  : nullptr;
    if (!cipher || iv.size() != 16) {
        throw CryptoError("AES needs a 16- or 32-byte key and a 16-byte IV");
    }
    impl_->ctx.reset(EVP_CIPHER_CTX_new());
    impl_->iv.assign(iv.begin(), iv.end());
    if (!impl_->ctx ||
        EVP_CipherInit_ex(impl_->ctx.get(), cipher, nullptr, key.data(), iv.data(),
                          encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(impl_->ctx.get(), 0) != 1) {
        fail("cannot set up AES-CBC");
    }
}

AesCbc::~AesCbc() = default;
AesCbc::AesCbc(AesCbc&&) noexcept = default;
AesCbc& AesCbc::operator=(AesCbc&&) noexcept = default;

void AesCbc::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    if (n % 16 != 0) {
        throw CryptoError("AES-CBC input is not a whole number of blocks");
    }
    int len = 0;
    // Every chunk starts again from the derived IV.
    if (EVP_CipherInit_ex(impl_->ctx.get(), nullptr, nullptr, nullptr, impl_->iv.data(), -1) != 1 ||
        EVP_CipherUpdate(impl_->ctx.get(), out, &len, in, static_cast<int>(n)) != 1 ||
        static_cast<std::size_t>(len) != n) {
        fail("AES-CBC failed");
    }
}

// --- certificates

Certificate Certificate::from_der(ByteView der) {
    const unsigned char* p = der.data();
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!x) {
        fail("not a DER certificate");
    }
    auto impl = std::make_shared<Impl>();
    impl->der.assign(der.data(), p);
    impl->x509 = std::move(x);
    if (EVP_PKEY_get_base_id(X509_get0_pubkey(impl->x509.get())) != EVP_PKEY_RSA) {
        throw CryptoError("the certificate does not hold an RSA key");
    }
    return Certificate(std::move(impl));
}

Certificate Certificate::from_file_bytes(ByteView bytes) {
    static constexpr std::string_view kPem = "-----BEGIN CERTIFICATE-----";
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.find(kPem) == std::string_view::npos) {
        return from_der(bytes);
    }
    BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    X509Ptr x(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!x) {
        fail("not a PEM certificate");
    }
    return from_der(der_bytes(x.get()));
}

const Bytes& Certificate::der() const {
    return impl_->der;
}

Bytes Certificate::thumbprint() const {
    return sha1(impl_->der);
}

std::size_t Certificate::key_bytes() const {
    return static_cast<std::size_t>(EVP_PKEY_get_size(X509_get0_pubkey(impl_->x509.get())));
}

std::string Certificate::subject() const {
    char* text = X509_NAME_oneline(X509_get_subject_name(impl_->x509.get()), nullptr, 0);
    std::string out = text ? text : "";
    OPENSSL_free(text);
    return out;
}

std::string Certificate::application_uri() const {
    auto* names = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(impl_->x509.get(), NID_subject_alt_name, nullptr, nullptr));
    std::string uri;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_URI) {
            const ASN1_STRING* s = name->d.uniformResourceIdentifier;
            uri.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
            break;
        }
    }
    GENERAL_NAMES_free(names);
    return uri;
}

std::chrono::system_clock::time_point Certificate::not_after() const {
    std::tm tm{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(impl_->x509.get()), &tm) != 1) {
        return {};
    }
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

bool Certificate::self_signed() const {
    return X509_check_issued(impl_->x509.get(), impl_->x509.get()) == X509_V_OK;
}

bool Certificate::verify(const SecurityPolicy& p, ByteView data, ByteView signature) const {
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestVerifyInit(md.get(), &pctx, EVP_sha256(), nullptr,
                                    X509_get0_pubkey(impl_->x509.get())) != 1) {
        fail("cannot set up a signature check");
    }
    if (p.rsa_pss) {
        // Peers should use a 32-byte salt; any salt the signature states is taken.
        set_pss(pctx, RSA_PSS_SALTLEN_AUTO);
    }
    const int rc =
        EVP_DigestVerify(md.get(), signature.data(), signature.size(), data.data(), data.size());
    ERR_clear_error();
    return rc == 1;
}

Bytes Certificate::encrypt(const SecurityPolicy& p, ByteView plain) const {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(X509_get0_pubkey(impl_->x509.get()), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1) {
        fail("cannot set up RSA encryption");
    }
    set_oaep(ctx.get(), p);
    const std::size_t k = key_bytes();
    const std::size_t block = plain_block(p);
    Bytes out;
    out.reserve((plain.size() / block + 1) * k);
    for (std::size_t off = 0; off < plain.size(); off += block) {
        const std::size_t n = std::min(block, plain.size() - off);
        std::size_t len = k;
        out.resize(out.size() + k);
        if (EVP_PKEY_encrypt(ctx.get(), out.data() + out.size() - k, &len, plain.data() + off, n) !=
                1 ||
            len != k) {
            fail("RSA encryption failed");
        }
    }
    return out;
}

// --- private keys

PrivateKey PrivateKey::generate_rsa(int bits) {
    auto impl = std::make_shared<Impl>();
    impl->pkey.reset(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    if (!impl->pkey) {
        fail("cannot generate an RSA key");
    }
    return PrivateKey(std::move(impl));
}

PrivateKey PrivateKey::from_pem(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    auto impl = std::make_shared<Impl>();
    // No pass-phrase callback: an encrypted key file fails rather than prompting.
    impl->pkey.reset(
        bio ? PEM_read_bio_PrivateKey(
                  bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr)
            : nullptr);
    if (!impl->pkey) {
        fail("not a PEM private key");
    }
    if (EVP_PKEY_get_base_id(impl->pkey.get()) != EVP_PKEY_RSA) {
        throw CryptoError("the private key is not an RSA key");
    }
    return PrivateKey(std::move(impl));
}

std::string PrivateKey::to_pem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), impl_->pkey.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        fail("cannot write the private key");
    }
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

std::size_t PrivateKey::key_bytes() const {
    return static_cast<std::size_t>(EVP_PKEY_get_size(impl_->pkey.get()));
}

bool PrivateKey::matches(const Certificate& cert) const {
    return X509_check_private_key(cert.impl().x509.get(), impl_->pkey.get()) == 1;
}

Bytes PrivateKey::sign(const SecurityPolicy& p, ByteView data) const {
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, impl_->pkey.get()) != 1) {
        fail("cannot set up signing");
    }
    if (p.rsa_pss) {
        // OpenSSL 3.0 would otherwise take the largest salt, which strict peers refuse.
        set_pss(pctx, RSA_PSS_SALTLEN_DIGEST);
    }
    std::size_t len = 0;
    if (EVP_DigestSign(md.get(), nullptr, &len, data.data(), data.size()) != 1) {
        fail("signing failed");
    }
    Bytes out(len);
    if (EVP_DigestSign(md.get(), out.data(), &len, data.data(), data.size()) != 1) {
        fail("signing failed");
    }
    out.resize(len);
    return out;
}

Bytes PrivateKey::decrypt(const SecurityPolicy& p, ByteView cipher) const {
    const std::size_t k = key_bytes();
    if (cipher.empty() || cipher.size() % k != 0) {
        throw CryptoError("the encrypted data is not a whole number of RSA blocks");
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(impl_->pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1) {
        fail("cannot set up RSA decryption");
    }
    set_oaep(ctx.get(), p);
    Bytes out(cipher.size());
    std::size_t used = 0;
    for (std::size_t off = 0; off < cipher.size(); off += k) {
        std::size_t len = out.size() - used;
        if (EVP_PKEY_decrypt(ctx.get(), out.data() + used, &len, cipher.data() + off, k) != 1) {
            ERR_clear_error();
            throw CryptoError("RSA decryption failed");
        }
        used += len;
    }
    out.resize(used);
    return out;
}

// --- creating and checking certificates

Certificate make_self_signed(const PrivateKey& key, const CertificateRequest& request) {
    X509Ptr x(X509_new());
    BnPtr serial(BN_new());
    if (!x || !serial || X509_set_version(x.get(), 2) != 1 ||
        BN_rand(serial.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x.get()))) {
        fail("cannot start a certificate");
    }
    // An hour back, so that a server whose clock runs a little behind still takes it.
    if (!X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600) ||
        !X509_time_adj_ex(X509_getm_notAfter(x.get()), request.valid_days, 0, nullptr) ||
        X509_set_pubkey(x.get(), key.impl().pkey.get()) != 1) {
        fail("cannot fill in the certificate");
    }
    X509_NAME* name = X509_get_subject_name(x.get());
    const auto add = [name](const char* field, const std::string& value) {
        if (!value.empty() &&
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0) != 1) {
            fail(std::string("cannot set the certificate's ") + field);
        }
    };
    add("CN", request.application_name);
    add("O", "Vantrel");
    add("DC", request.host);
    if (X509_set_issuer_name(x.get(), name) != 1) {
        fail("cannot set the certificate's issuer");
    }
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    std::string alt = "URI:" + request.application_uri;
    if (!request.host.empty()) {
        alt += ",DNS:" + request.host;
    }
    const std::pair<int, std::string> extensions[] = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
        // Servers refuse certificates without digitalSignature and dataEncipherment; a
        // self-signed one also needs keyCertSign.
        {NID_key_usage,
         "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign"},
        {NID_ext_key_usage, "clientAuth,serverAuth"},
        {NID_subject_alt_name, alt},
    };
    for (const auto& [nid, value] : extensions) {
        ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
        if (!ext || X509_add_ext(x.get(), ext.get(), -1) != 1) {
            fail("cannot add certificate extension " + value);
        }
    }
    if (X509_sign(x.get(), key.impl().pkey.get(), EVP_sha256()) <= 0) {
        fail("cannot sign the certificate");
    }
    return Certificate::from_der(der_bytes(x.get()));
}

std::string verify_trust(const Certificate& cert, const std::vector<Certificate>& trusted) {
    StorePtr store(X509_STORE_new());
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!store || !ctx) {
        fail("cannot set up certificate checks");
    }
    for (const auto& t : trusted) {
        X509_STORE_add_cert(store.get(), t.impl().x509.get());
    }
    ERR_clear_error();  // a certificate listed twice is not a failure
    // A trusted certificate anchors the chain even when it is not a root: an operator trusts
    // a server by placing its own (leaf) certificate in the trusted folder.
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_STORE_CTX_init(ctx.get(), store.get(), cert.impl().x509.get(), nullptr) != 1) {
        fail("cannot set up certificate checks");
    }
    if (X509_verify_cert(ctx.get()) == 1) {
        return {};
    }
    const int err = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    return X509_verify_cert_error_string(err);
}

}  // namespace qevsdk::ua::crypto
