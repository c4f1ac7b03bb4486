// qevsdk: how OPC UA sources secure their connection and log in. One setting for the whole
// process, so that the calls of QevLibrary stay as they are: set it before create_source
// (and discovery); sources created afterwards use it.
#pragma once

#include <string>

namespace qevsdk {

struct UaSecurity {
    // None, Basic256Sha256, Aes128_Sha256_RsaOaep or Aes256_Sha256_RsaPss (or the full
    // policy URI); case does not matter.
    std::string security_policy = "None";
    // None, Sign or SignAndEncrypt; None goes with policy None only.
    std::string security_mode = "None";
    // Empty: anonymous.
    std::string user;
    std::string password;
    // Holds own/ (this client's certificate and key, made on first use), trusted/ and
    // rejected/ (server certificates).
    std::string pki_dir = "pki";
    // Trust an unknown server certificate and store it in trusted/, instead of refusing it.
    bool trust_on_first_use = false;
    // Let a password go unencrypted when neither the token policy nor the channel encrypts it.
    bool allow_plain_password = false;
};

// Throws qevsdk::Error (declared in qevsdk.h) for an unknown policy or mode, or a mode that
// does not go with the policy; the settings in force then stay as they were.
void set_ua_security(const UaSecurity& settings);

}  // namespace qevsdk
