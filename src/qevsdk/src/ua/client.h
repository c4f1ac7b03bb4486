// An OPC UA client session: connect (channel, endpoint choice, session, activation), read
// the Value attribute of many nodes within the server's limits, and close everything.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec.h"
#include "endpoint_url.h"
#include "messages.h"
#include "pki.h"
#include "qevsdk/qevsdk.h"
#include "secure_channel.h"

namespace qevsdk::ua {

// How the client secures its connection and who it logs in as.
struct SecuritySettings {
    const SecurityPolicy* policy = &policy_of(PolicyId::None);
    SecurityMode mode = SecurityMode::None;
    std::string user;  // empty: anonymous
    std::string password;
    std::filesystem::path pki_dir = "pki";
    bool trust_on_first_use = false;
    // A password may go unencrypted over a channel that is not encrypted only when this is set.
    bool allow_plain_password = false;
};

// Sessions whose CloseSession went unanswered (the channel broke, the server stalled), by
// endpoint and login: the server keeps each until its timeout unless a later client closes it
// over a channel of its own. Shared by the clients of a process.
class LeftSessions {
  public:
    struct Entry {
        NodeId token;
        std::vector<std::uint8_t> server_nonce;  // what its re-activation is signed with
        Clock::time_point gone_by;               // the server has dropped it by then anyway
    };
    void remember(const std::string& key, Entry entry);
    // The key's entries not yet timed out; the ledger forgets them.
    std::vector<Entry> take(const std::string& key);

  private:
    std::mutex mutex_;
    std::map<std::string, std::vector<Entry>> by_key_;
};

struct ClientSettings {
    ChannelSettings channel;
    SecuritySettings security;
    // Told what the operator should know that is not an error (a certificate trusted on
    // first use).
    std::function<void(const std::string&)> note;
    std::chrono::milliseconds connect_timeout{3000};
    double session_timeout_ms = 120'000;
    // Batch size when the server states no MaxNodesPerRead.
    std::uint32_t default_max_nodes_per_read = 1000;
    // Whether to read the server's MaxNodesPerRead at connect; tests turn it off to see
    // the client find the limit from BadTooManyOperations instead.
    bool ask_max_nodes_per_read = true;
    // Where sessions left open are noted and found again; none: they are not.
    std::shared_ptr<LeftSessions> left_sessions;
};

class Client {
  public:
    explicit Client(ClientSettings settings) : settings_(std::move(settings)) {}
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Throws UaError with a readable reason; on failure nothing stays open.
    void connect(const EndpointAddress& address);
    // The same over a transport that is already connected (tests use a scripted one).
    void connect(const EndpointAddress& address, std::unique_ptr<Transport> transport);

    // One record per node in `out` (same size as `nodes`). Never throws: a lost connection
    // gives Bad records for the nodes not read, and connected() turns false.
    void read(std::span<const TagRequest> nodes, std::span<ValueRecord> out);

    bool connected() const { return session_ == Session::active && channel_ && channel_->usable(); }
    // Why the last read or connect failed, for the log.
    const std::string& last_error() const { return last_error_; }
    std::uint32_t max_nodes_per_read() const { return max_nodes_; }
    // The server's namespace array as read at the last connect, by which nsu= tags find their
    // index; only the OPC UA namespace when the server would not give it.
    NamespaceTable& namespaces() { return namespaces_; }

    // A call on the session of a service other than Read (Browse, BrowseNext): `encode`
    // writes the request, `decode` reads the answer before anything else is sent. Throws
    // UaError (ServiceError when the server refused the request); a session or connection
    // lost on the way also turns connected() false.
    void call_service(const std::function<void(Writer&, const RequestContext&)>& encode,
                      const std::function<void(Reader&)>& decode);

    // A request whose response comes later (Publish), collected by poll_posted(). Both throw
    // as call_service does; a lost connection also turns connected() false.
    std::uint32_t post_service(const std::function<void(Writer&, const RequestContext&)>& encode);
    std::optional<SecureChannel::Posted> poll_posted(Clock::time_point deadline);
    std::size_t posted() const { return channel_ ? channel_->posted() : 0; }

    // Numeric properties of the server (namespace 0), each nullopt when the server lacks it
    // or it is not a number. Throws as call_service does.
    std::vector<std::optional<double>> read_server_numbers(std::span<const std::uint32_t> ids);

    // Cuts the connection as a failed network would, leaving the session on the server
    // (tests of what follows a lost connection).
    void drop_connection();

    // CloseSession, CloseSecureChannel, socket. Never throws; harmless twice. A session the
    // server did not confirm closed goes to the settings' left_sessions, and the next client
    // connecting to the same endpoint closes it there, so that a server that was frozen or
    // unreachable does not keep our old sessions until they time out.
    void close();

  private:
    Reader call(const Writer& body);
    RequestContext context(bool with_session);
    // MaxNodesPerRead and the namespace array, in one read.
    void read_server_limits();
    // The endpoint to use, from a None channel's GetEndpoints; the server certificate is
    // checked against the PKI folder when security needs it.
    EndpointChoice choose_endpoint(const EndpointAddress& address);
    void activate(const EndpointChoice& chosen, const std::vector<std::uint8_t>& server_nonce);
    // Moves each remembered session of this endpoint onto the new channel and closes it there:
    // the server takes CloseSession only on the channel the session is bound to.
    void close_left_sessions(const EndpointChoice& chosen);
    // Whether the server answered the CloseSession.
    bool close_session();

    ClientSettings settings_;
    std::unique_ptr<SecureChannel> channel_;
    std::shared_ptr<const Credentials> own_;
    std::optional<crypto::Certificate> server_certificate_;
    NodeId authentication_token_;
    // A created session is closed on teardown even when its activation failed.
    enum class Session { none, created, active };
    Session session_ = Session::none;
    // What closing the session elsewhere needs: the nonce its activation is signed with, and
    // how long the server keeps it without us.
    std::vector<std::uint8_t> server_nonce_;
    double revised_timeout_ms_ = 0;
    std::string session_key_;
    std::uint32_t max_nodes_ = 1000;
    NamespaceTable namespaces_;
    std::string last_error_;
    Writer body_;
    std::vector<std::uint8_t> scratch_;
};

// Opens a channel without a session and lists the servers' `opc.tcp://` discovery URLs,
// without duplicates and in the server's order; when FindServers is refused or names none,
// the endpoints' URLs instead. Throws UaError when the server cannot be reached.
std::vector<std::string> find_server_urls(const EndpointAddress& address,
                                          const ClientSettings& settings);

}  // namespace qevsdk::ua
