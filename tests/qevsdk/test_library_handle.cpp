// The library handle: handle bookkeeping, misuse, and discovery's filling of descriptors.
#include <atomic>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "qevsdk/qevsdk.h"

namespace {

using namespace qevsdk;
using ::testing::HasSubstr;

const std::string kSimulation = "opc.da://localhost/Vantrel.Simulation.1";

// Records what the library logs, for the checks that a failure says why.
class LogCapture {
  public:
    LogCapture() {
        QevLibrary lib;
        lib.set_log_level(QEV_LOG_LEVEL_DEBUG);  // makes sure the "qevsdk" logger exists
        logger_ = spdlog::get("qevsdk");
        sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        logger_->sinks().push_back(sink_);
    }
    ~LogCapture() {
        auto& sinks = logger_->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    std::string text() const { return stream_.str(); }

  private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::logger> logger_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

std::string text_of(const std::array<char, 512>& field) {
    return std::string(field.data(), strnlen(field.data(), field.size()));
}

TEST(QevLibraryHandle, MisusedHandlesGiveClearErrors) {
    QevLibrary lib;
    EXPECT_THROW(lib.is_source_valid(QEV_INVALID_HANDLE), Error);
    EXPECT_THROW(lib.read_values(12345, {}), Error);
    EXPECT_THROW(lib.destroy_source(-1), Error);

    const SourceHandle source = lib.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0);
    ASSERT_NE(source, QEV_INVALID_HANDLE);
    EXPECT_TRUE(lib.is_source_valid(source));
    lib.destroy_source(source);
    try {
        lib.read_values(source, {{QEV_DATATYPE_REAL, 0, "Demo.Count1"}});
        FAIL() << "a destroyed source was read";
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), HasSubstr("unknown source handle"));
    }
    EXPECT_THROW(lib.destroy_source(source), Error);

    // A fresh source never gets the handle of a destroyed one.
    const SourceHandle again = lib.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0);
    EXPECT_NE(again, source);
}

TEST(QevLibraryHandle, AHandleOfAnotherLibraryIsUnknown) {
    QevLibrary first;
    QevLibrary second;
    const SourceHandle a = first.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0);
    const SourceHandle b = second.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0);
    ASSERT_NE(a, QEV_INVALID_HANDLE);
    ASSERT_NE(b, QEV_INVALID_HANDLE);
    EXPECT_NE(a, b);
    EXPECT_THROW(second.is_source_valid(a), Error);
    EXPECT_THROW(first.destroy_source(b), Error);
    EXPECT_TRUE(first.is_source_valid(a));
}

TEST(QevLibraryHandle, DestroyIsFinalAndHarmlessTwice) {
    QevLibrary lib;
    const SourceHandle source = lib.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0);
    lib.destroy();
    lib.destroy();
    try {
        lib.is_source_valid(source);
        FAIL() << "a destroyed library answered";
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), HasSubstr("destroyed"));
    }
    EXPECT_THROW(lib.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0), Error);
    EXPECT_THROW(lib.set_log_level(QEV_LOG_LEVEL_INFO), Error);
    std::vector<qev_source_desc_t> descs(16);
    EXPECT_THROW(lib.discovery(descs, "localhost", 0), Error);
    EXPECT_THROW(lib.destroy_source(source), Error);
}

TEST(QevLibraryHandle, FailedCreationReturnsTheInvalidHandleAndLogsWhy) {
    LogCapture log;
    QevLibrary lib;
    EXPECT_EQ(lib.create_source(7, kSimulation, 1000, 0), QEV_INVALID_HANDLE);
    EXPECT_THAT(log.text(), HasSubstr("unknown source type 7"));
    EXPECT_EQ(lib.create_source(QEV_RTSOURCE_DA, "opc.da://plant-scada/Other.Server.1", 1000, 0),
              QEV_INVALID_HANDLE);
    EXPECT_THAT(log.text(), HasSubstr("Windows COM"));
    EXPECT_THAT(log.text(), HasSubstr("opc.da://plant-scada/Other.Server.1"));
}

// A caller shows the cause beside its own message; it must not need the log for that.
TEST(QevLibraryHandle, LastErrorNamesTheCauseOfTheLastFailureUntilASuccess) {
    QevLibrary lib;
    EXPECT_EQ(lib.last_error(), "");
    EXPECT_EQ(lib.create_source(QEV_RTSOURCE_DA, "opc.da://plant-scada/Other.Server.1", 1000, 0),
              QEV_INVALID_HANDLE);
    EXPECT_THAT(lib.last_error(), HasSubstr("opc.da://plant-scada/Other.Server.1"));
    EXPECT_THAT(lib.last_error(), HasSubstr("Windows COM"));
    EXPECT_EQ(lib.create_source(QEV_RTSOURCE_UA, "opc.tcp://", 1000, 0), QEV_INVALID_HANDLE);
    EXPECT_THAT(lib.last_error(), HasSubstr("invalid OPC UA schema 'opc.tcp://'"));

    const SourceHandle source = lib.create_source(QEV_RTSOURCE_DA, kSimulation, 1000, 0);
    ASSERT_NE(source, QEV_INVALID_HANDLE);
    EXPECT_EQ(lib.last_error(), "");
    EXPECT_EQ(lib.last_error(source), "");  // the simulation never fails
    EXPECT_THROW(lib.last_error(source + 1000), Error);
}

TEST(QevLibraryHandle, UnknownLogLevelIsRefused) {
    QevLibrary lib;
    EXPECT_NO_THROW(lib.set_log_level(QEV_LOG_LEVEL_INFO));
    EXPECT_THROW(lib.set_log_level(static_cast<QEV_LOG_LEVEL>(42)), Error);
}

TEST(QevLibraryHandle, ReadsRacingADestroyNeverTouchAFreedSource) {
    QevLibrary lib;
    const SourceHandle source = lib.create_source(QEV_RTSOURCE_DA, kSimulation, 10, 0);
    std::vector<TagRequest> requests(200, TagRequest{QEV_DATATYPE_REAL, 0, "Demo.Random1"});
    std::atomic<bool> started{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        try {
            while (true) {
                auto [status, records] = lib.read_values(source, requests);
                ASSERT_EQ(records.size(), requests.size());
                ++reads;
                started = true;
            }
        } catch (const Error&) {
            // The handle went away: the expected way out.
        }
    });
    while (!started) {
        std::this_thread::yield();
    }
    lib.destroy_source(source);
    reader.join();
    EXPECT_GT(reads.load(), 0);
}

TEST(QevLibraryDiscovery, ListsTheSimulationForEveryLocalSpelling) {
    QevLibrary lib;
    for (const std::string& host :
         std::vector<std::string>{"", "localhost", "LocalHost", "127.0.0.1"}) {
        std::vector<qev_source_desc_t> descs(16);
        for (auto& d : descs) {
            d.source_type = QEV_RTSOURCE_DA;
        }
        const auto count = lib.discovery(descs, host, 0);
        ASSERT_EQ(count, 1) << "host '" << host << "'";
        EXPECT_EQ(descs[0].source_type, QEV_RTSOURCE_DA);
        EXPECT_EQ(text_of(descs[0].name), kSimulation);
        EXPECT_EQ(text_of(descs[0].schema), kSimulation);
        // NUL-padded to the end.
        EXPECT_TRUE(std::all_of(descs[0].name.begin() + static_cast<long>(kSimulation.size()),
                                descs[0].name.end(), [](char c) { return c == '\0'; }));
        EXPECT_EQ(text_of(descs[1].name), "");
    }
}

TEST(QevLibraryDiscovery, FindsNoDaServerElsewhereAndNeverOverfills) {
    QevLibrary lib;
    std::vector<qev_source_desc_t> descs(16);
    for (auto& d : descs) {
        d.source_type = QEV_RTSOURCE_DA;
    }
    EXPECT_EQ(lib.discovery(descs, "plant-scada.example", 0), 0);

    std::vector<qev_source_desc_t> none;
    EXPECT_EQ(lib.discovery(none, "localhost", 0), 0);
    EXPECT_TRUE(none.empty());
}

}  // namespace
