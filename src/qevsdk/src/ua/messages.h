// Service requests the client sends and the responses it reads. A message body is the
// binary encoding id of its type followed by the structure; these functions write and
// read whole bodies, without the secure-channel prefix.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec.h"
#include "node_text.h"
#include "qevsdk/qevsdk.h"
#include "security_policy.h"

namespace qevsdk::ua {

namespace type_id {
inline constexpr std::uint32_t ServiceFault = 397;
inline constexpr std::uint32_t AnonymousIdentityToken = 321;
inline constexpr std::uint32_t UserNameIdentityToken = 324;
inline constexpr std::uint32_t FindServersRequest = 422;
inline constexpr std::uint32_t FindServersResponse = 425;
inline constexpr std::uint32_t GetEndpointsRequest = 428;
inline constexpr std::uint32_t GetEndpointsResponse = 431;
inline constexpr std::uint32_t OpenSecureChannelRequest = 446;
inline constexpr std::uint32_t OpenSecureChannelResponse = 449;
inline constexpr std::uint32_t CloseSecureChannelRequest = 452;
inline constexpr std::uint32_t CreateSessionRequest = 461;
inline constexpr std::uint32_t CreateSessionResponse = 464;
inline constexpr std::uint32_t ActivateSessionRequest = 467;
inline constexpr std::uint32_t ActivateSessionResponse = 470;
inline constexpr std::uint32_t CloseSessionRequest = 473;
inline constexpr std::uint32_t CloseSessionResponse = 476;
inline constexpr std::uint32_t ReadRequest = 631;
inline constexpr std::uint32_t ReadResponse = 634;
}  // namespace type_id

inline constexpr std::string_view kSecurityPolicyNone =
    "http://opcfoundation.org/UA/SecurityPolicy#None";
inline constexpr std::int32_t kSecurityModeNone = 1;
inline constexpr std::int32_t kTokenTypeAnonymous = 0;
inline constexpr std::int32_t kTokenTypeUserName = 1;
inline constexpr std::string_view kTransportBinary =
    "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
inline constexpr std::uint32_t kAttributeValue = 13;
// Server_ServerCapabilities_OperationLimits_MaxNodesPerRead (namespace 0): how many nodes the
// server takes in one Read; the client splits its reads by it.
inline constexpr std::uint32_t kNodeMaxNodesPerRead = 11705;
// Server_NamespaceArray (namespace 0): the URIs of the server's namespaces, by index.
inline constexpr std::uint32_t kNodeNamespaceArray = 2255;

// What every request header carries besides the current time.
struct RequestContext {
    const NodeId* authentication_token = nullptr;  // null NodeId when absent
    std::uint32_t request_handle = 0;
    std::uint32_t timeout_hint_ms = 0;
};

void encode_request_header(Writer& w, const RequestContext& ctx);

// Reads the type id and response header. A ServiceFault, or a Bad ServiceResult, throws
// ServiceError; another type than `expected` throws UaError(BadUnknownResponse).
// Returns the request handle the server echoed.
std::uint32_t decode_response_start(Reader& r, std::uint32_t expected);

// --- secure channel
// Under None the nonce is empty and goes as null.
void encode_open_secure_channel(Writer& w, const RequestContext& ctx, bool renew,
                                std::uint32_t requested_lifetime_ms,
                                SecurityMode mode = SecurityMode::None,
                                std::span<const std::uint8_t> client_nonce = {});
struct SecurityToken {
    std::uint32_t channel_id = 0;
    std::uint32_t token_id = 0;
    std::uint32_t revised_lifetime_ms = 0;
    std::vector<std::uint8_t> server_nonce;
};
SecurityToken decode_open_secure_channel_response(Reader& r);
void encode_close_secure_channel(Writer& w, const RequestContext& ctx);

// --- discovery
struct UserTokenPolicy {
    std::string policy_id;
    std::int32_t token_type = 0;
    std::string security_policy_uri;
};
struct EndpointDescription {
    std::string endpoint_url;
    std::string server_uri;  // the server's ApplicationUri
    std::vector<std::uint8_t> server_certificate;
    std::int32_t security_mode = 0;
    std::string security_policy_uri;
    std::vector<UserTokenPolicy> user_tokens;
    std::string transport_profile_uri;
    std::uint8_t security_level = 0;
};
struct ApplicationDescription {
    std::string application_uri;
    std::int32_t application_type = 0;
    std::vector<std::string> discovery_urls;
};

void encode_get_endpoints(Writer& w, const RequestContext& ctx, std::string_view endpoint_url);
std::vector<EndpointDescription> decode_get_endpoints_response(Reader& r);
void encode_find_servers(Writer& w, const RequestContext& ctx, std::string_view endpoint_url);
std::vector<ApplicationDescription> decode_find_servers_response(Reader& r);

// The None endpoint with an anonymous token policy, and that policy's id.
struct AnonymousEndpoint {
    std::string endpoint_url;
    std::string policy_id;
};
std::optional<AnonymousEndpoint> pick_anonymous_none(const std::vector<EndpointDescription>& eps);

// The UA-binary endpoint with this policy and mode that offers a token policy of
// `token_type`, the server's most preferred (highest security level) when several do; and
// that token policy.
struct EndpointChoice {
    EndpointDescription endpoint;
    UserTokenPolicy token;
};
std::optional<EndpointChoice> pick_endpoint(const std::vector<EndpointDescription>& eps,
                                            std::string_view policy_uri, SecurityMode mode,
                                            std::int32_t token_type);

// --- session
struct CreateSessionParams {
    std::string_view endpoint_url;
    std::string_view session_name;
    std::span<const std::uint8_t> client_nonce;
    double requested_timeout_ms = 0;
    std::uint32_t max_response_message_size = 0;
    std::string_view application_uri = "urn:vantrel:qevsdk";
    std::span<const std::uint8_t> client_certificate = {};  // empty: null
};
void encode_create_session(Writer& w, const RequestContext& ctx, const CreateSessionParams& p);
struct CreateSessionResult {
    NodeId session_id;
    NodeId authentication_token;
    double revised_timeout_ms = 0;
    std::vector<std::uint8_t> server_nonce;
    std::vector<std::uint8_t> server_certificate;
    std::string signature_algorithm;
    std::vector<std::uint8_t> signature;
    std::vector<EndpointDescription> endpoints;
    std::uint32_t max_request_message_size = 0;
};
CreateSessionResult decode_create_session_response(Reader& r);

// An anonymous activation without a client signature (SecurityPolicy None).
void encode_activate_session(Writer& w, const RequestContext& ctx, std::string_view policy_id);

struct IdentityToken {
    std::int32_t token_type = kTokenTypeAnonymous;
    std::string_view policy_id;
    std::string_view user_name;             // UserName only
    std::span<const std::uint8_t> secret;   // the password, plain or encrypted
    std::string_view encryption_algorithm;  // empty: null (a plain password)
};
struct ActivateSessionParams {
    std::string_view signature_algorithm;  // empty: no client signature (None)
    std::span<const std::uint8_t> signature;
    IdentityToken identity;
};
void encode_activate_session(Writer& w, const RequestContext& ctx, const ActivateSessionParams& p);
// Throws ServiceError when the server refused the identity; returns the next server nonce.
std::vector<std::uint8_t> decode_activate_session_response(Reader& r);

void encode_close_session(Writer& w, const RequestContext& ctx);
void decode_close_session_response(Reader& r);

// --- read
// Reads the Value attribute of every request, asking for both timestamps.
// nsu= tags resolve through `namespaces` (see encode_tag_node_id).
void encode_read_request(Writer& w, const RequestContext& ctx, std::span<const TagRequest> nodes,
                         std::vector<std::uint8_t>& scratch, NamespaceTable* namespaces = nullptr);
// A read of plain numeric ids (used for the server's own properties).
void encode_read_numeric(Writer& w, const RequestContext& ctx, std::span<const std::uint32_t> ids);
// Fills exactly out.size() records; a result count that differs from it is a DecodeError.
void decode_read_response(Reader& r, std::span<ValueRecord> out,
                          std::chrono::system_clock::time_point receipt);
// What the client reads of the server itself at connect, in one request: its MaxNodesPerRead
// (when asked) and its namespace array. Either is nullopt when the server does not give it
// (a Bad status, a value of another type).
struct ServerFacts {
    std::optional<double> max_nodes_per_read;
    std::optional<std::vector<std::string>> namespace_array;  // a null element reads as ""
};
void encode_read_server_facts(Writer& w, const RequestContext& ctx, bool with_limit);
ServerFacts decode_read_server_facts_response(Reader& r, bool with_limit);

}  // namespace qevsdk::ua
