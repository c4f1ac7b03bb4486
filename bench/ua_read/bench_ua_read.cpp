// bench_ua_read: reads 10,000 nodes in batches of 200 from the node-opcua test server for a
// number of cycles, and sets the client's CPU time per value against the server's, measured
// in the same run. Also times the built-in DA simulation on the same workload, and sets the
// client's CPU time per value under Basic256Sha256 SignAndEncrypt against security None.
//
//   bench_ua_read [CYCLES]     (default 20; BENCH_UA_CYCLES in the environment does the same)
//
// The test server is the tests/opcua-server folder of the source tree it was built from, or of
// one above the program or the working directory, or VANTREL_OPCUA_SERVER_DIR; its npm
// packages are installed there first when missing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "opcua_test_server.h"
#include "process_stats.h"
#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_security.h"

namespace {

using namespace qevsdk;
using Clock = std::chrono::steady_clock;
using vantrel::test::own_cpu_time;

constexpr int kNodes = 10'000;
constexpr int kBatch = 200;
constexpr double kTargetRatio = 0.2;
constexpr int kSecureNodes = 1'000;
// Encryption may cost the client at most this much more CPU per value than security None.
constexpr double kSecureTargetRatio = 2.0;

std::vector<std::vector<TagRequest>> batches(int ns, const std::string& prefix,
                                             int nodes = kNodes) {
    std::vector<std::vector<TagRequest>> out;
    for (int first = 0; first < nodes; first += kBatch) {
        auto& batch = out.emplace_back();
        for (int k = first; k < first + kBatch; ++k) {
            batch.push_back({QEV_DATATYPE_REAL, ns, prefix + std::to_string(k)});
        }
    }
    return out;
}

// Reads every batch once; returns how many values were not Good or not k.
long cycle(QevLibrary& lib, SourceHandle source, const std::vector<std::vector<TagRequest>>& all) {
    long wrong = 0;
    int k = 0;
    for (const auto& batch : all) {
        const auto [status, records] = lib.read_values(source, batch);
        for (const auto& r : records) {
            wrong += ((r.quality & 0xFF00) != 0x0100 || r.value != k) ? 1 : 0;
            ++k;
        }
        wrong += static_cast<long>(batch.size()) - static_cast<long>(records.size());
    }
    return wrong;
}

double us(std::chrono::nanoseconds t) {
    return std::chrono::duration<double, std::micro>(t).count();
}

// The client's security is one setting for the whole process: whatever happens, it goes back
// to None and the client's certificates do not outlive the run.
class SecuredClient {
  public:
    SecuredClient()
        : pki_(std::filesystem::temp_directory_path() /
               ("bench-ua-read-pki-" + std::to_string(::getpid()))) {}
    ~SecuredClient() {
        reset();
        std::error_code ignored;
        std::filesystem::remove_all(pki_, ignored);
    }
    SecuredClient(const SecuredClient&) = delete;
    SecuredClient& operator=(const SecuredClient&) = delete;

    // Sources made from here on connect with Basic256Sha256 SignAndEncrypt.
    void secure() {
        UaSecurity security;
        security.security_policy = "Basic256Sha256";
        security.security_mode = "SignAndEncrypt";
        security.pki_dir = pki_.string();
        security.trust_on_first_use = true;
        set_ua_security(security);
    }

    // Sources made from here on use security None again; the secured one keeps its channel.
    void reset() { set_ua_security(UaSecurity{}); }

  private:
    std::filesystem::path pki_;
};

// The same reads against a None and a SignAndEncrypt server, a cycle of each in turn, so that
// whatever else loads the machine weighs on both figures alike. The None side reads the first
// nodes of the main benchmark's server.
int bench_ua_security(vantrel::test::OpcUaTestServer& plain, int cycles) {
    vantrel::test::OpcUaTestServer secured(
        {.extra_nodes = kSecureNodes, .security = "Basic256Sha256:SignAndEncrypt"});
    secured.start();
    // Before the library, so that its sources go first and the certificates last.
    SecuredClient security;
    QevLibrary lib;
    lib.set_log_level(QEV_LOG_LEVEL_WARNING);
    const SourceHandle plain_source = lib.create_source(QEV_RTSOURCE_UA, plain.endpoint(), 1000, 0);
    security.secure();
    const SourceHandle secured_source =
        lib.create_source(QEV_RTSOURCE_UA, secured.endpoint(), 1000, 0);
    security.reset();
    if (plain_source == QEV_INVALID_HANDLE || secured_source == QEV_INVALID_HANDLE) {
        std::fprintf(stderr, "bench_ua_read: cannot connect to the test server at %s\n",
                     (plain_source == QEV_INVALID_HANDLE ? plain : secured).endpoint().c_str());
        return 1;
    }
    const auto all = batches(vantrel::test::OpcUaTestServer::kNamespace, "Bulk.", kSecureNodes);
    for (int i = 0; i < 3; ++i) {
        cycle(lib, plain_source, all);
        cycle(lib, secured_source, all);
    }

    std::chrono::nanoseconds plain_cpu{};
    std::chrono::nanoseconds secured_cpu{};
    long wrong = 0;
    for (int i = 0; i < cycles; ++i) {
        const auto start = own_cpu_time();
        wrong += cycle(lib, plain_source, all);
        const auto middle = own_cpu_time();
        wrong += cycle(lib, secured_source, all);
        secured_cpu += own_cpu_time() - middle;
        plain_cpu += middle - start;
    }
    lib.destroy();

    const double values = static_cast<double>(cycles) * kSecureNodes;
    const double plain_per_value = us(plain_cpu) / values;
    const double secured_per_value = us(secured_cpu) / values;
    const double ratio = plain_per_value > 0 ? secured_per_value / plain_per_value : 0.0;
    std::printf(
        "OPC UA, None and Basic256Sha256 SignAndEncrypt in turn: %d nodes in batches of "
        "%d, %d cycles (%.0f values) each, test servers\n",
        kSecureNodes, kBatch, cycles, values);
    std::printf("  client CPU per value      %.3f us (None)\n", plain_per_value);
    std::printf("  client CPU per value      %.3f us (SignAndEncrypt)\n", secured_per_value);
    std::printf("  encrypted / None ratio    %.2f (target <= %.1f: %s)\n", ratio,
                kSecureTargetRatio, ratio <= kSecureTargetRatio ? "met" : "NOT MET");
    std::printf("  values not Good or wrong  %ld\n", wrong);
    return wrong == 0 ? 0 : 1;
}

int bench_ua(int cycles) {
    vantrel::test::OpcUaTestServer server({.extra_nodes = kNodes});
    server.start();
    QevLibrary lib;
    lib.set_log_level(QEV_LOG_LEVEL_WARNING);
    const SourceHandle source = lib.create_source(QEV_RTSOURCE_UA, server.endpoint(), 1000, 0);
    if (source == QEV_INVALID_HANDLE) {
        std::fprintf(stderr, "bench_ua_read: cannot connect to the test server at %s\n",
                     server.endpoint().c_str());
        return 1;
    }
    const auto all = batches(vantrel::test::OpcUaTestServer::kNamespace, "Bulk.");
    // The first cycles warm up both sides (the server's JIT most of all).
    for (int i = 0; i < 3; ++i) {
        cycle(lib, source, all);
    }

    const auto client_start = own_cpu_time();
    const auto server_start = server.cpu_time();
    const auto wall_start = Clock::now();
    long wrong = 0;
    for (int i = 0; i < cycles; ++i) {
        wrong += cycle(lib, source, all);
    }
    const auto wall = Clock::now() - wall_start;
    const auto client = own_cpu_time() - client_start;
    const auto server_cpu = server.cpu_time() - server_start;
    lib.destroy();

    const double values = static_cast<double>(cycles) * kNodes;
    const double client_per_value = us(client) / values;
    const double server_per_value = us(server_cpu) / values;
    const double ratio = server_per_value > 0 ? client_per_value / server_per_value : 0.0;
    std::printf("OPC UA: %d nodes in batches of %d, %d cycles (%.0f values), test server\n", kNodes,
                kBatch, cycles, values);
    std::printf("  wall time                 %.2f s\n",
                std::chrono::duration<double>(wall).count());
    std::printf("  values per second         %.0f\n",
                values / std::chrono::duration<double>(wall).count());
    std::printf("  client CPU per value      %.3f us\n", client_per_value);
    std::printf("  server CPU per value      %.3f us\n", server_per_value);
    std::printf("  client / server ratio     %.4f (target <= %.1f: %s)\n", ratio, kTargetRatio,
                ratio <= kTargetRatio ? "met" : "NOT MET");
    std::printf("  values not Good or wrong  %ld\n", wrong);
    // As many values again, a thousand nodes at a time.
    const int secured = bench_ua_security(server, cycles * (kNodes / kSecureNodes));
    return (wrong == 0 ? 0 : 1) | secured;
}

int bench_da(int cycles) {
    QevLibrary lib;
    lib.set_log_level(QEV_LOG_LEVEL_WARNING);
    const SourceHandle source =
        lib.create_source(QEV_RTSOURCE_DA, "opc.da://localhost/Vantrel.Simulation.1", 1000, 0);
    const auto all = batches(0, "Demo.Bulk.");
    cycle(lib, source, all);
    const auto wall_start = Clock::now();
    long wrong = 0;
    for (int i = 0; i < cycles; ++i) {
        wrong += cycle(lib, source, all);
    }
    const auto wall = Clock::now() - wall_start;
    const double batches_read = static_cast<double>(cycles) * (kNodes / kBatch);
    std::printf("OPC DA simulation: %d tags in batches of %d, %d cycles\n", kNodes, kBatch, cycles);
    std::printf("  time per batch            %.1f us\n", us(wall) / batches_read);
    std::printf("  time per cycle            %.3f ms\n", us(wall) / 1000.0 / cycles);
    std::printf("  values not Good or wrong  %ld\n", wrong);
    return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int cycles = 20;
    if (const char* env = std::getenv("BENCH_UA_CYCLES")) {
        cycles = std::atoi(env);
    }
    if (argc > 1) {
        cycles = std::atoi(argv[1]);
    }
    if (cycles <= 0) {
        std::fprintf(stderr, "usage: bench_ua_read [CYCLES]  (CYCLES > 0)\n");
        return 2;
    }
    try {
        const int da = bench_da(cycles * 10);
        // The server's npm packages, wherever this program runs from.
        vantrel::test::OpcUaTestServer::install();
        const int ua = bench_ua(cycles);
        return da | ua;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_ua_read: %s\n", e.what());
        return 1;
    }
}
