// The ua_* keys of config.ini as both front ends read them.
#include <gtest/gtest.h>

#include <stdexcept>

#include <common/ini.h>
#include <korrin/opc_security.h>
#include <korrin/settings.h>

namespace {

using vantrel::common::IniFile;
using vantrel::korrin::apply_ua_security;
using vantrel::korrin::read_ua_security;

TEST(UaSecuritySettings, DefaultsToAnonymousNoneWithThePkiBesideTheConfig) {
    const auto s = read_ua_security(IniFile::read_text("[Vantrel]\nopc_type = OPC UA\n"), "/plant");
    EXPECT_EQ(s.policy, "None");
    EXPECT_EQ(s.mode, "None");
    EXPECT_TRUE(s.user.empty());
    EXPECT_EQ(s.pki_dir, "/plant/pki");
    EXPECT_FALSE(s.trust_on_first_use);
    EXPECT_NO_THROW(apply_ua_security(s));
}

TEST(UaSecuritySettings, APolicyAloneMeansSignAndEncryptAndBadNamesAreRefused) {
    auto s = read_ua_security(IniFile::read_text("[Vantrel]\nua_security_policy = Basic256Sha256\n"
                                                 "ua_pki_dir = certs\nua_user = op\n"
                                                 "ua_trust_on_first_use = yes\n"),
                              "/plant");
    EXPECT_EQ(s.mode, "SignAndEncrypt");
    EXPECT_EQ(s.pki_dir, "/plant/certs");
    EXPECT_EQ(s.user, "op");
    EXPECT_TRUE(s.trust_on_first_use);
    EXPECT_NO_THROW(apply_ua_security(s));

    s.policy = "Basic512";
    EXPECT_THROW(apply_ua_security(s), std::invalid_argument);
    s.policy = "None";
    s.mode = "Sign";
    EXPECT_THROW(apply_ua_security(s), std::invalid_argument) << "a mode needs a policy";
    apply_ua_security(read_ua_security(IniFile::read_text(""), "/plant"));  // back to None
}

}  // namespace
