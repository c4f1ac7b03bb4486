// Service requests the client sends and the responses it reads.
#include "messages.h"

#include <algorithm>
#include <array>

#include "node_text.h"
#include "quality.h"

namespace qevsdk::ua {

namespace {

// Fewest bytes of the structures read in arrays.
constexpr std::size_t kMinApplicationDescription = 25;
constexpr std::size_t kMinUserTokenPolicy = 20;
constexpr std::size_t kMinEndpointDescription =
    4 + kMinApplicationDescription + 4 + 4 + 4 + 4 + 4 + 1;

std::string owned(std::string_view s) {
    return std::string(s);
}

std::vector<std::uint8_t> owned_bytes(std::string_view s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

void byte_string_or_null(Writer& w, std::span<const std::uint8_t> b) {
    if (b.empty()) {
        w.null_string();
    } else {
        w.byte_string(b.data(), b.size());
    }
}

void string_or_null(Writer& w, std::string_view s) {
    if (s.empty()) {
        w.null_string();
    } else {
        w.string(s);
    }
}

ApplicationDescription decode_application_description(Reader& r) {
    ApplicationDescription d;
    d.application_uri = owned(r.string_view());
    r.skip_string();  // ProductUri
    skip_localized_text(r);
    d.application_type = r.i32();
    r.skip_string();  // GatewayServerUri
    r.skip_string();  // DiscoveryProfileUri
    const std::size_t n = r.array_length(4);
    d.discovery_urls.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        d.discovery_urls.push_back(owned(r.string_view()));
    }
    return d;
}

EndpointDescription decode_endpoint_description(Reader& r) {
    EndpointDescription e;
    e.endpoint_url = owned(r.string_view());
    e.server_uri = decode_application_description(r).application_uri;
    e.server_certificate = owned_bytes(r.string_view());
    e.security_mode = r.i32();
    e.security_policy_uri = owned(r.string_view());
    const std::size_t n = r.array_length(kMinUserTokenPolicy);
    e.user_tokens.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        UserTokenPolicy p;
        p.policy_id = owned(r.string_view());
        p.token_type = r.i32();
        r.skip_string();  // IssuedTokenType
        r.skip_string();  // IssuerEndpointUrl
        p.security_policy_uri = owned(r.string_view());
        e.user_tokens.push_back(std::move(p));
    }
    e.transport_profile_uri = owned(r.string_view());
    e.security_level = r.u8();
    return e;
}

std::vector<EndpointDescription> decode_endpoint_array(Reader& r) {
    const std::size_t n = r.array_length(kMinEndpointDescription);
    std::vector<EndpointDescription> eps;
    eps.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        eps.push_back(decode_endpoint_description(r));
    }
    return eps;
}

void null_signature(Writer& w) {
    w.null_string();  // Algorithm
    w.null_string();  // Signature
}

void encode_read_value_id_tail(Writer& w) {
    w.u32(kAttributeValue);
    w.null_string();  // IndexRange
    w.u16(0);         // DataEncoding: default
    w.null_string();
}

}  // namespace

void encode_request_header(Writer& w, const RequestContext& ctx) {
    if (ctx.authentication_token) {
        encode_node_id(w, *ctx.authentication_token);
    } else {
        w.u8(0);
        w.u8(0);
    }
    w.now();
    w.u32(ctx.request_handle);
    w.u32(0);         // ReturnDiagnostics
    w.null_string();  // AuditEntryId
    w.u32(ctx.timeout_hint_ms);
    w.u8(0);  // AdditionalHeader: empty ExtensionObject
    w.u8(0);
    w.u8(0);
}

std::uint32_t decode_response_start(Reader& r, std::uint32_t expected) {
    const auto type = decode_type_id(r);
    if (!type || (*type != expected && *type != type_id::ServiceFault)) {
        throw UaError(status::BadUnknownResponse,
                      "unexpected response type " +
                          (type ? std::to_string(*type) : "(not numeric)") + ", expected " +
                          std::to_string(expected));
    }
    r.skip(8);  // Timestamp
    const std::uint32_t handle = r.u32();
    const std::uint32_t result = r.u32();
    skip_diagnostic_info(r);
    const std::size_t strings = r.array_length(4);
    for (std::size_t i = 0; i < strings; ++i) {
        r.skip_string();
    }
    skip_extension_object(r);
    if (*type == type_id::ServiceFault || is_bad(result)) {
        throw ServiceError(is_bad(result) ? result : status::BadUnexpectedError,
                           "the server answered " + status_text(result));
    }
    return handle;
}

void encode_open_secure_channel(Writer& w, const RequestContext& ctx, bool renew,
                                std::uint32_t requested_lifetime_ms, SecurityMode mode,
                                std::span<const std::uint8_t> client_nonce) {
    encode_numeric_node_id(w, 0, type_id::OpenSecureChannelRequest);
    encode_request_header(w, ctx);
    w.u32(0);  // ClientProtocolVersion
    w.i32(renew ? 1 : 0);
    w.i32(static_cast<std::int32_t>(mode));
    byte_string_or_null(w, client_nonce);  // null under None, where it is ignored
    w.u32(requested_lifetime_ms);
}

SecurityToken decode_open_secure_channel_response(Reader& r) {
    decode_response_start(r, type_id::OpenSecureChannelResponse);
    r.skip(4);  // ServerProtocolVersion
    SecurityToken t;
    t.channel_id = r.u32();
    t.token_id = r.u32();
    r.skip(8);  // CreatedAt: the server's clock; renewal runs on ours
    t.revised_lifetime_ms = r.u32();
    t.server_nonce = owned_bytes(r.string_view());
    return t;
}

void encode_close_secure_channel(Writer& w, const RequestContext& ctx) {
    encode_numeric_node_id(w, 0, type_id::CloseSecureChannelRequest);
    encode_request_header(w, ctx);
}

void encode_get_endpoints(Writer& w, const RequestContext& ctx, std::string_view endpoint_url) {
    encode_numeric_node_id(w, 0, type_id::GetEndpointsRequest);
    encode_request_header(w, ctx);
    w.string(endpoint_url);
    w.i32(-1);  // LocaleIds
    w.i32(-1);  // ProfileUris
}

std::vector<EndpointDescription> decode_get_endpoints_response(Reader& r) {
    decode_response_start(r, type_id::GetEndpointsResponse);
    return decode_endpoint_array(r);
}

void encode_find_servers(Writer& w, const RequestContext& ctx, std::string_view endpoint_url) {
    encode_numeric_node_id(w, 0, type_id::FindServersRequest);
    encode_request_header(w, ctx);
    w.string(endpoint_url);
    w.i32(-1);  // LocaleIds
    w.i32(-1);  // ServerUris
}

std::vector<ApplicationDescription> decode_find_servers_response(Reader& r) {
    decode_response_start(r, type_id::FindServersResponse);
    const std::size_t n = r.array_length(kMinApplicationDescription);
    std::vector<ApplicationDescription> servers;
    servers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        servers.push_back(decode_application_description(r));
    }
    return servers;
}

std::optional<AnonymousEndpoint> pick_anonymous_none(const std::vector<EndpointDescription>& eps) {
    for (const auto& e : eps) {
        if (e.security_mode != kSecurityModeNone || e.security_policy_uri != kSecurityPolicyNone) {
            continue;
        }
        for (const auto& p : e.user_tokens) {
            if (p.token_type == kTokenTypeAnonymous) {
                return AnonymousEndpoint{e.endpoint_url, p.policy_id};
            }
        }
    }
    return std::nullopt;
}

std::optional<EndpointChoice> pick_endpoint(const std::vector<EndpointDescription>& eps,
                                            std::string_view policy_uri, SecurityMode mode,
                                            std::int32_t token_type) {
    std::optional<EndpointChoice> best;
    for (const auto& e : eps) {
        const bool binary =
            e.transport_profile_uri.empty() || e.transport_profile_uri == kTransportBinary;
        if (!binary || e.security_policy_uri != policy_uri ||
            e.security_mode != static_cast<std::int32_t>(mode)) {
            continue;
        }
        const auto token = std::find_if(
            e.user_tokens.begin(), e.user_tokens.end(),
            [token_type](const UserTokenPolicy& p) { return p.token_type == token_type; });
        if (token != e.user_tokens.end() &&
            (!best || e.security_level > best->endpoint.security_level)) {
            best = EndpointChoice{e, *token};
        }
    }
    return best;
}

void encode_create_session(Writer& w, const RequestContext& ctx, const CreateSessionParams& p) {
    encode_numeric_node_id(w, 0, type_id::CreateSessionRequest);
    encode_request_header(w, ctx);
    // ClientDescription
    w.string(p.application_uri);
    w.string("urn:vantrel:qevsdk");
    w.u8(0x02);  // LocalizedText with text only
    w.string("Vantrel qevsdk");
    w.i32(1);         // ApplicationType Client
    w.null_string();  // GatewayServerUri
    w.null_string();  // DiscoveryProfileUri
    w.i32(-1);        // DiscoveryUrls
    w.null_string();  // ServerUri
    w.string(p.endpoint_url);
    w.string(p.session_name);
    w.byte_string(p.client_nonce.data(), p.client_nonce.size());
    byte_string_or_null(w, p.client_certificate);
    w.f64(p.requested_timeout_ms);
    w.u32(p.max_response_message_size);
}

CreateSessionResult decode_create_session_response(Reader& r) {
    decode_response_start(r, type_id::CreateSessionResponse);
    CreateSessionResult s;
    s.session_id = decode_node_id(r);
    s.authentication_token = decode_node_id(r);
    s.revised_timeout_ms = r.f64();
    s.server_nonce = owned_bytes(r.string_view());
    s.server_certificate = owned_bytes(r.string_view());
    s.endpoints = decode_endpoint_array(r);
    const std::size_t certs = r.array_length(8);
    for (std::size_t i = 0; i < certs; ++i) {
        r.skip_string();
        r.skip_string();
    }
    s.signature_algorithm = owned(r.string_view());
    s.signature = owned_bytes(r.string_view());
    s.max_request_message_size = r.u32();
    return s;
}

void encode_activate_session(Writer& w, const RequestContext& ctx, std::string_view policy_id) {
    ActivateSessionParams p;
    p.identity.policy_id = policy_id;
    encode_activate_session(w, ctx, p);
}

void encode_activate_session(Writer& w, const RequestContext& ctx, const ActivateSessionParams& p) {
    encode_numeric_node_id(w, 0, type_id::ActivateSessionRequest);
    encode_request_header(w, ctx);
    if (p.signature_algorithm.empty()) {
        null_signature(w);
    } else {
        w.string(p.signature_algorithm);
        w.byte_string(p.signature.data(), p.signature.size());
    }
    w.i32(-1);  // ClientSoftwareCertificates
    w.i32(-1);  // LocaleIds
    const IdentityToken& t = p.identity;
    Writer body;
    body.string(t.policy_id);
    if (t.token_type == kTokenTypeUserName) {
        encode_numeric_node_id(w, 0, type_id::UserNameIdentityToken);
        body.string(t.user_name);
        byte_string_or_null(body, t.secret);
        string_or_null(body, t.encryption_algorithm);
    } else {
        encode_numeric_node_id(w, 0, type_id::AnonymousIdentityToken);
    }
    w.u8(0x01);  // body as a ByteString
    w.i32(static_cast<std::int32_t>(body.size()));
    w.raw(body.data(), body.size());
    null_signature(w);  // UserTokenSignature: only X.509 tokens sign
}

std::vector<std::uint8_t> decode_activate_session_response(Reader& r) {
    decode_response_start(r, type_id::ActivateSessionResponse);
    auto nonce = owned_bytes(r.string_view());
    const std::size_t n = r.array_length(4);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t result = r.u32();
        if (is_bad(result)) {
            throw ServiceError(result, "the server refused the session: " + status_text(result));
        }
    }
    return nonce;
}

void encode_close_session(Writer& w, const RequestContext& ctx) {
    encode_numeric_node_id(w, 0, type_id::CloseSessionRequest);
    encode_request_header(w, ctx);
    w.boolean(true);  // DeleteSubscriptions
}

void decode_close_session_response(Reader& r) {
    decode_response_start(r, type_id::CloseSessionResponse);
}

void encode_read_request(Writer& w, const RequestContext& ctx, std::span<const TagRequest> nodes,
                         std::vector<std::uint8_t>& scratch, NamespaceTable* namespaces) {
    encode_numeric_node_id(w, 0, type_id::ReadRequest);
    encode_request_header(w, ctx);
    w.f64(0.0);  // MaxAge: fresh values
    w.i32(2);    // TimestampsToReturn Both
    w.i32(static_cast<std::int32_t>(nodes.size()));
    for (const auto& node : nodes) {
        encode_tag_node_id(w, node.namespace_index, node.tag_name, scratch, namespaces);
        encode_read_value_id_tail(w);
    }
}

void encode_read_numeric(Writer& w, const RequestContext& ctx, std::span<const std::uint32_t> ids) {
    encode_numeric_node_id(w, 0, type_id::ReadRequest);
    encode_request_header(w, ctx);
    w.f64(0.0);
    w.i32(2);
    w.i32(static_cast<std::int32_t>(ids.size()));
    for (std::uint32_t id : ids) {
        encode_numeric_node_id(w, 0, id);
        encode_read_value_id_tail(w);
    }
}

void decode_read_response(Reader& r, std::span<ValueRecord> out,
                          std::chrono::system_clock::time_point receipt) {
    decode_response_start(r, type_id::ReadResponse);
    const std::size_t n = r.array_length(1);
    if (n != out.size()) {
        throw DecodeError("the read response holds " + std::to_string(n) + " results for " +
                          std::to_string(out.size()) + " nodes");
    }
    DataValue dv;
    for (std::size_t i = 0; i < n; ++i) {
        decode_data_value(r, dv);
        fill_record(dv, receipt, out[i]);
    }
    const std::size_t diagnostics = r.array_length(1);
    for (std::size_t i = 0; i < diagnostics; ++i) {
        skip_diagnostic_info(r);
    }
}

namespace {

// A DataValue whose value should be an array of strings.
std::optional<std::vector<std::string>> decode_string_array_value(Reader& r) {
    const std::uint8_t mask = r.u8();
    std::optional<std::vector<std::string>> strings;
    if (mask & 0x01) {
        const Reader start = r;
        const std::uint8_t encoding = r.u8();
        // An array (0x80) of String, without dimensions (0x40).
        if (encoding == (0x80 | static_cast<std::uint8_t>(BuiltinType::String))) {
            const std::size_t n = r.array_length(4);
            strings.emplace();
            strings->reserve(n);
            for (std::size_t i = 0; i < n; ++i) {
                strings->emplace_back(r.string_view());
            }
        } else {
            r = start;
            skip_variant(r);
        }
    }
    std::uint32_t status = status::Good;
    skip_data_value_tail(r, mask, status);
    if ((status & 0xC0000000) != 0) {
        return std::nullopt;
    }
    return strings;
}

}  // namespace

void encode_read_server_facts(Writer& w, const RequestContext& ctx, bool with_limit) {
    static constexpr std::array<std::uint32_t, 2> both{kNodeMaxNodesPerRead, kNodeNamespaceArray};
    encode_read_numeric(w, ctx,
                        with_limit ? std::span<const std::uint32_t>(both)
                                   : std::span<const std::uint32_t>(both).subspan(1));
}

ServerFacts decode_read_server_facts_response(Reader& r, bool with_limit) {
    decode_response_start(r, type_id::ReadResponse);
    const std::size_t expected = with_limit ? 2 : 1;
    const std::size_t n = r.array_length(1);
    if (n != expected) {
        throw DecodeError("the read response holds " + std::to_string(n) + " results for " +
                          std::to_string(expected) + " nodes");
    }
    ServerFacts facts;
    if (with_limit) {
        DataValue dv;
        decode_data_value(r, dv);
        if ((dv.status & 0xC0000000) == 0 && dv.number) {
            facts.max_nodes_per_read = *dv.number;
        }
    }
    facts.namespace_array = decode_string_array_value(r);
    const std::size_t diagnostics = r.array_length(1);
    for (std::size_t i = 0; i < diagnostics; ++i) {
        skip_diagnostic_info(r);
    }
    return facts;
}

}  // namespace qevsdk::ua
