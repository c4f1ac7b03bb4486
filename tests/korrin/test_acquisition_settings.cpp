// The [Vantrel] keys of subscribed acquisition: defaults that keep the batched read, every
// form of deadband, and a clear error for each kind of wrong value.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <common/ini.h>
#include <korrin/acquisition.h>

namespace {

using vantrel::common::IniFile;
using namespace vantrel::korrin;
using A = AcquisitionSettings;

A read(const std::string& keys) {
    return read_acquisition_settings(IniFile::read_text("[Vantrel]\n" + keys));
}

std::string error_of(const std::string& keys) {
    try {
        (void)read(keys);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

TEST(AcquisitionSettings, WithoutKeysTheCollectorReadsAsItAlwaysDid) {
    const A a = read("");
    EXPECT_EQ(a.mode, A::Mode::read);
    EXPECT_FALSE(a.subscribed());
    EXPECT_EQ(a.sampling_interval_ms, 0);
    EXPECT_EQ(a.queue_size, 1u);
    EXPECT_EQ(a.deadband, A::Deadband::none);
    EXPECT_EQ(a.store, A::Store::latest);
    EXPECT_FALSE(a.every_change());
}

TEST(AcquisitionSettings, ReadsEveryKey) {
    const A a = read(
        "acquisition = subscribe\nsampling_interval_ms = 100\nqueue_size = 20\n"
        "deadband = absolute:0.5\nstore = changes\n");
    EXPECT_TRUE(a.subscribed());
    EXPECT_EQ(a.sampling_interval_ms, 100);
    EXPECT_EQ(a.queue_size, 20u);
    EXPECT_EQ(a.deadband, A::Deadband::absolute);
    EXPECT_EQ(a.deadband_value, 0.5);
    EXPECT_TRUE(a.every_change());

    const A p = read("deadband = percent: 2.5\n");
    EXPECT_EQ(p.deadband, A::Deadband::percent);
    EXPECT_EQ(p.deadband_value, 2.5);
    // Every change is kept only when subscribed.
    EXPECT_FALSE(read("store = changes\n").every_change());
}

TEST(AcquisitionSettings, AWrongValueNamesItsKey) {
    EXPECT_NE(error_of("acquisition = poll\n").find("[Vantrel] acquisition"), std::string::npos);
    EXPECT_NE(error_of("sampling_interval_ms = -1\n").find("sampling_interval_ms"),
              std::string::npos);
    EXPECT_NE(error_of("sampling_interval_ms = fast\n").find("sampling_interval_ms"),
              std::string::npos);
    EXPECT_NE(error_of("queue_size = 0\n").find("queue_size"), std::string::npos);
    EXPECT_NE(error_of("store = all\n").find("[Vantrel] store"), std::string::npos);
    for (const char* bad :
         {"deadband = absolute\n", "deadband = absolute:-1\n", "deadband = percent:101\n",
          "deadband = relative:1\n", "deadband = none:1\n", "deadband = percent:x\n"}) {
        EXPECT_NE(error_of(bad).find("[Vantrel] deadband"), std::string::npos) << bad;
    }
    EXPECT_THROW(read("queue_size = many\n"), vantrel::common::IniError);
}

}  // namespace
