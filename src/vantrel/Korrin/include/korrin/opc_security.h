// How OPC UA sources secure their channel and log in: the [Vantrel] ua_* keys that both front
// ends read, handed to the OPC library for every source created afterwards (its calls stay as
// they are).
#pragma once

#include <filesystem>
#include <string>

namespace vantrel::korrin {

// Read by read_ua_security (korrin/settings.h).
struct UaSecuritySettings {
    std::string policy =
        "None";                 // None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss
    std::string mode = "None";  // None, Sign, SignAndEncrypt
    std::string user;           // empty: anonymous
    std::string password;
    std::filesystem::path pki_dir;  // own/, trusted/, rejected/
    bool trust_on_first_use = false;
};

// Sets them for every OPC UA source created afterwards. Throws std::invalid_argument for an
// unknown policy or mode, or a mode that does not go with the policy.
void apply_ua_security(const UaSecuritySettings& settings);

}  // namespace vantrel::korrin
