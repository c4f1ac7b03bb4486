#include "korrin/opc_security.h"

namespace vantrel::korrin {

namespace {

constexpr const char* kSection = "Vantrel";

}  // namespace

UaSecuritySettings read_ua_security(const common::IniFile& ini,
                                    const std::filesystem::path& config_dir) {
    UaSecuritySettings settings;
    settings.policy = ini.get(kSection, "ua_security_policy", "None");
    // A policy without a mode means the strongest: nobody configures a policy to sign only.
    const std::string default_mode = settings.policy == "None" ? "None" : "SignAndEncrypt";
    settings.mode = ini.get(kSection, "ua_security_mode", default_mode);
    settings.user = ini.get(kSection, "ua_user", "");
    settings.password = ini.get(kSection, "ua_password", "");
    const std::filesystem::path pki = ini.get(kSection, "ua_pki_dir", "pki");
    settings.pki_dir = pki.is_absolute() ? pki : config_dir / pki;
    settings.trust_on_first_use = ini.get_bool(kSection, "ua_trust_on_first_use", false);
    return settings;
}

}  // namespace vantrel::korrin
