// OpcUaTestServer: runs the node-opcua test server (tests/opcua-server/server.js) as a child
// process on a free loopback port, for integration tests and benchmarks.
//
// The server's nodes, all in namespace index 2 (kNamespace, URI "urn:vantrel:test-server:nodes"):
//
//   Node id                                   Type     Value / status
//   s=Demo.Double                             Double   3.25
//   s=Demo.Float                              Float    1.5
//   s=Demo.Int32                              Int32    -42
//   s=Demo.UInt16                             UInt16   65535
//   s=Demo.Byte                               Byte     200
//   s=Demo.Boolean                            Boolean  true
//   s=Demo.String                             String   "hello" (not numeric)
//   s=Demo.BadStatus                          Double   status BadSensorFailure (0x808C0000)
//   s=Demo.UncertainStatus                    Double   7.5, status UncertainLastUsableValue
//                                                      (0x40900000)
//   s=Demo.Timestamped                        Double   1.0, source timestamp
//                                                      2020-01-02T03:04:05.678Z
//   s=Demo.NoSourceTimestamp                  Double   2.0, no source timestamp (server only)
//   s=Plant;Area=1:Pump                       Double   11.0 (an identifier with ; = and :)
//   i=1001                                    Double   1001.5
//   g=72962B91-FA75-4AE6-8D28-B404DC7DAF63    Double   9.0
//   b=VmFudHJlbA==                            Double   8.0 (the bytes "Vantrel")
//   s=Demo.Counter                            UInt32   grows with every read
//   s=Demo.Count1 .. s=Demo.Count4            Double   whole seconds since start x k
//   s=Demo.Random1 .. s=Demo.Random10         Double   random in [0, 100)
//   s=Demo.Tag1 .. s=Demo.Tag10               Double   sine waves, amplitude 50
//   s=Demo.CCCTag10                           Double   sine wave between 0 and 100
//   s=Bulk.0 .. s=Bulk.<extra_nodes - 1>      Double   k for s=Bulk.k; with changing_percent
//                                                      P, each second the next P % of them
//                                                      read k + the seconds since start
//   s=Demo.Fast                               Double   a counter, one more every 100 ms (from 1),
//                                                      with the time of the change
//   s=Demo.Ramp                               Double   every 100 ms 0.5 more, back to 0 past 100
//   s=Demo.AnalogRamp                         Double   the same, with EURange 0..100 (an
//                                                      AnalogItem, for percent deadbands)
//   s=Test.SessionCount                       UInt32   sessions open on the server now
//   s=Test.ChannelCount                       UInt32   secure channels open now
//   s=Test.MaxTokenCount                      UInt32   most security tokens issued on one open
//                                                      channel (2 or more: a renewal happened)
//
// With browse_nodes N, the folder s=Browse under Objects holds:
//
//   s=Browse.Wide                             folder of s=Browse.Wide.0 .. s=Browse.Wide.<N-1>,
//                                             Double, reading k
//   s=Browse.LoopA -> s=Browse.LoopB          LoopB organizes LoopA again (a reference cycle);
//                                             s=Browse.LoopB.Value, Double 21
//   s=Browse.车间                              s=Browse.车间.温度 (Double 36.6, DisplayName
//                                             反应釜温度, Description 一号反应釜的温度) and
//                                             s=Browse.车间.压力 (Float 1.5, DisplayName 压力表)
//   s=Browse.Awkward                          s=i=5 (Double 5), s=b=x (6), s=Tag,with "quotes"
//                                             (7), s= padded (8), i=2001 (Int32), g=0A1B2C3D-
//                                             4E5F-6071-8293-A4B5C6D7E8F9 (UInt16 3),
//                                             b=AAEC/w== (Boolean true)
//   s=Browse.Other                            .Text (String), .Array (Double[3]), .WriteOnly
//                                             (Double, not readable)
//
// Anything else (for example s=No.Such.Node) reads BadNodeIdUnknown. Every value has a server
// timestamp.
//
// The server exits when this process dies (it watches its stdin pipe and its parent), so a
// crashed test leaves nothing behind. Its certificate folders and log live in a folder of
// their own under the build tree, removed when the fixture is destroyed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace vantrel::test {

struct OpcUaTestServerOptions {
    int port = 0;                // 0: pick a free loopback port
    int extra_nodes = 0;         // how many s=Bulk.k nodes
    int changing_percent = 0;    // share of the Bulk nodes given a new value each second
    int max_nodes_per_read = 0;  // the server's MaxNodesPerRead; 0: no limit
    int buffer_size = 0;         // chunk size in bytes, at least 8192; 0: the server's default
    int max_message_size = 0;    // 0: the server's default (16 MiB)
    int max_chunk_count = 0;     // 0: no limit
    int token_lifetime_ms = 0;   // secure channel token lifetime; 0: 10 minutes
    int max_sessions = 100;
    // The endpoints as POLICY:MODE pairs, e.g. "None:None,Basic256Sha256:SignAndEncrypt".
    std::string security = "None:None";
    // Accepted user names as NAME:PASSWORD pairs, comma-separated.
    std::string users{};
    bool allow_anonymous = true;
    // The Browse folder (see above) with this many variables in Browse/Wide; 0: no folder.
    int browse_nodes = 0;
    // References of one node in a Browse answer, the rest by continuation points; 0: no cap.
    int max_references_per_node = 0;
    int max_nodes_per_browse = 0;  // the server's MaxNodesPerBrowse; 0: its default
    // Continuation points one session may hold; 0: no limit.
    int max_browse_continuation_points = 0;
    // The folder Tree: about this many variables three folder levels down
    // (s=Tree.A<i>.B<j>.V<k>, Double, reading their running number); 0: no folder.
    int browse_tree_nodes = 0;
    // Namespaces registered before the test nodes' one (URIs urn:vantrel:test-server:other<k>,
    // each with a variable s=Demo.Double reading -1 - k): the test nodes then have index
    // 2 + leading_namespaces, as on a server restarted with its namespaces in another order.
    int leading_namespaces = 0;
    // The folder s=Custom: s=Custom.Temperature (21.5) of the server's own type Temperature, a
    // subtype of Double; s=Custom.Celsius (22.5) of Celsius (i=3001), a subtype of Temperature;
    // s=Custom.Label ("tank 1") of Label, a subtype of String.
    bool custom_types = false;
    // The server's MaxMonitoredItemsPerCall and MaxMonitoredItemsPerSubscription; 0: its
    // defaults (no limit per call).
    int max_monitored_items_per_call = 0;
    int max_monitored_items_per_subscription = 0;
    // Lets an anonymous session over an unsecured channel take over the subscriptions of a
    // lost one (TransferSubscriptions); node-opcua refuses that by default.
    bool allow_anonymous_transfer = false;
    // Publish requests a session may keep queued on the server; 0: its default (100).
    int max_publish_requests = 0;
    std::chrono::milliseconds start_timeout{60'000};
};

class OpcUaTestServer {
  public:
    // The test nodes' namespace index without leading_namespaces, and its URI.
    static constexpr int kNamespace = 2;
    static constexpr const char* kNamespaceUri = "urn:vantrel:test-server:nodes";

    explicit OpcUaTestServer(OpcUaTestServerOptions options = {});
    ~OpcUaTestServer();
    OpcUaTestServer(const OpcUaTestServer&) = delete;
    OpcUaTestServer& operator=(const OpcUaTestServer&) = delete;

    // Starts the server and waits until it listens. Throws std::runtime_error with the
    // server's own output when it cannot start. The port stays the same across restarts.
    void start();
    // Ends the server abruptly (SIGTERM, then SIGKILL) and waits for it: to a client this
    // looks like a crashed server. Harmless when not running.
    void stop();
    void restart();
    // Changes take effect at the next start or restart.
    OpcUaTestServerOptions& options() { return options_; }
    // SIGSTOP / SIGCONT: the server keeps its connections but answers nothing.
    void pause();
    void resume();

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    // "opc.tcp://127.0.0.1:<port>"
    std::string endpoint() const;
    pid_t pid() const { return pid_; }
    // User plus system CPU time the server process has used so far.
    std::chrono::nanoseconds cpu_time() const;
    // What the server printed so far.
    std::string log() const;
    // The fixture's own folder (certificates under pki/, the log): removed on destruction.
    const std::filesystem::path& work_dir() const { return work_dir_; }
    // The server's application instance certificate (PEM), made when it first started.
    std::filesystem::path certificate_file() const {
        return work_dir_ / "pki" / "server" / "own" / "certs" / "certificate.pem";
    }

    // Where server.js lives: $VANTREL_OPCUA_SERVER_DIR when set; else the source tree this
    // was built from; else a tests/opcua-server found above this program or above the working
    // directory (a moved or copied tree). Whether its npm packages are installed.
    static std::filesystem::path server_dir();
    static bool installed();
    // Installs the npm packages into server_dir() when they are missing (npm, from the npm
    // registry, about 16 s). Throws, saying what to run instead, when that cannot be done.
    static void install();

  private:
    void spawn();

    OpcUaTestServerOptions options_;
    std::filesystem::path work_dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
};

}  // namespace vantrel::test
