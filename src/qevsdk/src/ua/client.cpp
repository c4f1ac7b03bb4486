// An OPC UA client session over one secure channel.
#include "client.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "messages.h"
#include "quality.h"

namespace qevsdk::ua {

namespace {

void fill_bad(std::span<ValueRecord> out) {
    const auto receipt = std::chrono::system_clock::now();
    for (auto& r : out) {
        r = bad_record(receipt);
    }
}

std::unique_ptr<SecureChannel> open_channel(const EndpointAddress& address,
                                            const ClientSettings& settings,
                                            std::unique_ptr<Transport> transport = nullptr) {
    if (!transport) {
        transport =
            tcp_connect(address.host, address.port, Clock::now() + settings.connect_timeout);
    }
    auto channel = std::make_unique<SecureChannel>(std::move(transport), settings.channel);
    channel->open(address.url);
    return channel;
}

// A decoding failure after the channel handed over a response breaks the channel too.
template <typename F>
auto decoded(SecureChannel& channel, F&& f) {
    try {
        return f();
    } catch (const DecodeError& e) {
        channel.mark_broken();
        throw invalid_message(e);
    }
}

// A server flapping for a long time leaves no more than this many per endpoint to close.
constexpr std::size_t kMaxLeftSessions = 16;

}  // namespace

void LeftSessions::remember(const std::string& key, Entry entry) {
    std::lock_guard lock(mutex_);
    auto& list = by_key_[key];
    if (list.size() >= kMaxLeftSessions) {
        list.erase(list.begin());
    }
    list.push_back(std::move(entry));
}

std::vector<LeftSessions::Entry> LeftSessions::take(const std::string& key) {
    std::lock_guard lock(mutex_);
    std::vector<Entry> out;
    if (auto it = by_key_.find(key); it != by_key_.end()) {
        out.swap(it->second);
        by_key_.erase(it);
    }
    const auto now = Clock::now();
    std::erase_if(out, [now](const Entry& e) { return e.gone_by <= now; });
    return out;
}

RequestContext Client::context(bool with_session) {
    return RequestContext{with_session ? &authentication_token_ : nullptr,
                          channel_->next_request_handle(), channel_->timeout_hint_ms()};
}

Reader Client::call(const Writer& body) {
    return channel_->request(body);
}

void Client::connect(const EndpointAddress& address) {
    connect(address, nullptr);
}

namespace {

std::string describe(const EndpointDescription& e) {
    const SecurityPolicy* p = policy_by_uri(e.security_policy_uri);
    const std::string policy = p ? std::string(p->name) : e.security_policy_uri;
    const char* mode = e.security_mode == 1   ? "None"
                       : e.security_mode == 2 ? "Sign"
                       : e.security_mode == 3 ? "SignAndEncrypt"
                                              : "?";
    return policy + "/" + mode;
}

std::string mode_name(SecurityMode m) {
    return m == SecurityMode::Sign             ? "Sign"
           : m == SecurityMode::SignAndEncrypt ? "SignAndEncrypt"
                                               : "None";
}

// The leaf of a certificate field that may carry a chain.
bool same_leaf(std::span<const std::uint8_t> field, const crypto::Certificate& leaf) {
    const auto& der = leaf.der();
    return field.size() >= der.size() && crypto::equal(field.first(der.size()), der);
}

crypto::Bytes concat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    crypto::Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

}  // namespace

EndpointChoice Client::choose_endpoint(const EndpointAddress& address) {
    const SecuritySettings& sec = settings_.security;
    body_.clear();
    encode_get_endpoints(body_, context(false), address.url);
    const auto endpoints = decoded(*channel_, [&] {
        Reader r = call(body_);
        return decode_get_endpoints_response(r);
    });
    const std::int32_t token_type = sec.user.empty() ? kTokenTypeAnonymous : kTokenTypeUserName;
    auto chosen = pick_endpoint(endpoints, sec.policy->uri, sec.mode, token_type);
    if (!chosen) {
        std::string offered;
        for (const auto& e : endpoints) {
            offered += (offered.empty() ? "" : ", ") + describe(e);
        }
        throw UaError(status::BadSecurityPolicyRejected,
                      "the server offers no endpoint with security " +
                          std::string(sec.policy->name) + "/" + mode_name(sec.mode) + " and " +
                          (sec.user.empty() ? "anonymous login" : "user name login") +
                          " (it offers " + (offered.empty() ? "none" : offered) + ")");
    }
    // The server certificate matters when the channel is secured or the password is
    // encrypted with it; then it must be one the operator trusts.
    const bool token_secured = token_type == kTokenTypeUserName &&
                               (!chosen->token.security_policy_uri.empty()
                                    ? chosen->token.security_policy_uri != kSecurityPolicyNone
                                    : sec.policy->secure());
    server_certificate_.reset();
    if (sec.policy->secure() || token_secured) {
        try {
            server_certificate_ =
                crypto::Certificate::from_der(chosen->endpoint.server_certificate);
        } catch (const crypto::CryptoError& e) {
            throw UaError(status::BadCertificateInvalid,
                          std::string("the server's certificate cannot be read: ") + e.what());
        }
        Pki(sec.pki_dir).check_server(*server_certificate_, sec.trust_on_first_use, settings_.note);
    }
    return *chosen;
}

void Client::connect(const EndpointAddress& address, std::unique_ptr<Transport> transport) {
    close();
    last_error_.clear();
    const SecuritySettings& sec = settings_.security;
    session_key_ = address.url + '\n' + std::string(sec.policy->uri) + '\n' +
                   std::to_string(static_cast<int>(sec.mode)) + '\n' + sec.user;
    try {
        channel_ = open_channel(address, settings_, std::move(transport));
        auto chosen = choose_endpoint(address);

        if (sec.policy->secure()) {
            // Endpoints come over a None channel; the session needs a secured one.
            own_ = Pki(sec.pki_dir).own_credentials();
            channel_->close();
            ClientSettings secured = settings_;
            secured.channel.security = {sec.policy, sec.mode, own_, server_certificate_};
            channel_ = open_channel(address, secured);
        }
        close_left_sessions(chosen);

        const crypto::Bytes nonce = crypto::random_bytes(kNonceLength);
        body_.clear();
        const std::string application_uri = own_ && sec.policy->secure()
                                                ? own_->certificate.application_uri()
                                                : "urn:vantrel:qevsdk";
        std::span<const std::uint8_t> client_cert;
        if (sec.policy->secure()) {
            client_cert = own_->certificate.der();
        }
        CreateSessionParams params{address.url,
                                   "Vantrel",
                                   nonce,
                                   settings_.session_timeout_ms,
                                   settings_.channel.max_message,
                                   application_uri,
                                   client_cert};
        encode_create_session(body_, context(false), params);
        auto session = decoded(*channel_, [&] {
            Reader r = call(body_);
            return decode_create_session_response(r);
        });
        authentication_token_ = session.authentication_token;
        server_nonce_ = session.server_nonce;
        revised_timeout_ms_ = session.revised_timeout_ms;
        session_ = Session::created;
        channel_->limit_request_message(session.max_request_message_size);
        if (sec.policy->secure()) {
            const auto& policy = *sec.policy;
            if (!same_leaf(session.server_certificate, *server_certificate_)) {
                throw UaError(status::BadCertificateInvalid,
                              "the server's session certificate differs from its endpoint's");
            }
            if (session.server_nonce.size() < kNonceLength) {
                throw UaError(status::BadNonceInvalid, "the server's session nonce is too short");
            }
            if (session.signature_algorithm != policy.signature_uri ||
                !server_certificate_->verify(policy, concat(client_cert, nonce),
                                             session.signature)) {
                throw UaError(status::BadApplicationSignatureInvalid,
                              "the server's session signature does not verify");
            }
        }
        // The session's own endpoint list is authoritative for the token policy id.
        const std::int32_t token_type = chosen.token.token_type;
        if (auto again = pick_endpoint(session.endpoints, sec.policy->uri, sec.mode, token_type)) {
            chosen.token = again->token;
        }
        activate(chosen, session.server_nonce);
        session_ = Session::active;
        read_server_limits();
    } catch (const UaError& e) {
        last_error_ = e.what();
        close();
        throw;
    } catch (const crypto::CryptoError& e) {
        last_error_ = e.what();
        close();
        throw UaError(status::BadSecurityChecksFailed, e.what());
    }
}

void Client::activate(const EndpointChoice& chosen, const std::vector<std::uint8_t>& server_nonce) {
    const SecuritySettings& sec = settings_.security;
    ActivateSessionParams params;
    crypto::Bytes signature;
    if (sec.policy->secure()) {
        signature = own_->key.sign(*sec.policy, concat(server_certificate_->der(), server_nonce));
        params.signature_algorithm = sec.policy->signature_uri;
        params.signature = signature;
    }
    params.identity.token_type = chosen.token.token_type;
    params.identity.policy_id = chosen.token.policy_id;
    crypto::Bytes secret;
    if (chosen.token.token_type == kTokenTypeUserName) {
        params.identity.user_name = sec.user;
        // An empty token policy means the endpoint's own policy secures the password.
        const std::string& uri = chosen.token.security_policy_uri.empty()
                                     ? chosen.endpoint.security_policy_uri
                                     : chosen.token.security_policy_uri;
        const SecurityPolicy* token_policy = policy_by_uri(uri);
        if (!token_policy) {
            throw UaError(status::BadSecurityPolicyRejected,
                          "the server wants the password secured with " + uri +
                              ", which this client does not support");
        }
        if (token_policy->secure()) {
            crypto::Bytes blob(4);
            const auto length =
                static_cast<std::uint32_t>(sec.password.size() + server_nonce.size());
            std::memcpy(blob.data(), &length, 4);
            blob.insert(blob.end(), sec.password.begin(), sec.password.end());
            blob.insert(blob.end(), server_nonce.begin(), server_nonce.end());
            secret = server_certificate_->encrypt(*token_policy, blob);
            std::fill(blob.begin(), blob.end(), 0);
            params.identity.encryption_algorithm = token_policy->encryption_uri;
        } else {
            if (sec.mode != SecurityMode::SignAndEncrypt && !sec.allow_plain_password) {
                throw UaError(status::BadSecurityModeRejected,
                              "the server would take the password unencrypted over a channel "
                              "that is not encrypted; refusing to send it (use security mode "
                              "SignAndEncrypt)");
            }
            secret.assign(sec.password.begin(), sec.password.end());
        }
        params.identity.secret = secret;
    }
    body_.clear();
    encode_activate_session(body_, context(true), params);
    std::fill(secret.begin(), secret.end(), 0);
    try {
        decoded(*channel_, [&] {
            Reader r = call(body_);
            return decode_activate_session_response(r);
        });
    } catch (const ServiceError& e) {
        const std::uint32_t c = e.code() & 0xFFFF0000;
        if (chosen.token.token_type == kTokenTypeUserName &&
            (c == status::BadUserAccessDenied || c == status::BadIdentityTokenRejected ||
             c == status::BadIdentityTokenInvalid)) {
            throw UaError(e.code(), "access denied: the server refused user '" + sec.user +
                                        "' with this password (" + status_text(e.code()) + ")");
        }
        throw;
    }
    // The request held the password, encrypted or not; it does not stay in memory.
    std::fill(body_.bytes().begin(), body_.bytes().end(), 0);
}

void Client::read_server_limits() {
    max_nodes_ = settings_.default_max_nodes_per_read;
    // Read at every connect: a restarted server may number its namespaces otherwise.
    namespaces_.assign({std::string(kUaNamespaceUri)});
    const bool with_limit = settings_.ask_max_nodes_per_read;
    body_.clear();
    encode_read_server_facts(body_, context(true), with_limit);
    ServerFacts facts;
    try {
        facts = decoded(*channel_, [&] {
            Reader r = call(body_);
            return decode_read_server_facts_response(r, with_limit);
        });
    } catch (const ServiceError&) {
        // A server that answers neither states no limit and names no namespaces.
    }
    if (facts.max_nodes_per_read) {
        const double v = *facts.max_nodes_per_read;
        if (v >= 1 && v < 4294967296.0) {
            max_nodes_ = static_cast<std::uint32_t>(v);
        }
    }
    if (facts.namespace_array && !facts.namespace_array->empty()) {
        namespaces_.assign(std::move(*facts.namespace_array));
    } else {
        namespaces_.note_problem(
            "the server does not give its namespace array; nsu= tags of namespaces other than "
            "the OPC UA one read Bad");
    }
}

void Client::read(std::span<const TagRequest> nodes, std::span<ValueRecord> out) {
    if (connected()) {
        last_error_.clear();
    }
    std::size_t i = 0;
    while (i < nodes.size()) {
        if (!connected()) {
            if (last_error_.empty()) {
                last_error_ = "not connected";
            }
            fill_bad(out.subspan(i));
            return;
        }
        const std::size_t batch =
            std::min<std::size_t>(nodes.size() - i, std::max<std::uint32_t>(max_nodes_, 1));
        try {
            body_.clear();
            encode_read_request(body_, context(true), nodes.subspan(i, batch), scratch_,
                                &namespaces_);
            decoded(*channel_, [&] {
                Reader r = call(body_);
                decode_read_response(r, out.subspan(i, batch), std::chrono::system_clock::now());
                return 0;
            });
            i += batch;
        } catch (const ServiceError& e) {
            if (halving_helps(e.code()) && batch > 1) {
                // The server's real limit is lower than stated: remember a smaller batch.
                max_nodes_ = static_cast<std::uint32_t>(batch / 2);
                continue;
            }
            last_error_ = e.what();
            if (is_session_fatal(e.code()) || is_connection_fatal(e.code())) {
                session_ = Session::created;
                if (is_connection_fatal(e.code())) {
                    channel_->mark_broken();
                }
                fill_bad(out.subspan(i));
                return;
            }
            fill_bad(out.subspan(i, batch));
            i += batch;
        } catch (const UaError& e) {
            last_error_ = e.what();
            fill_bad(out.subspan(i));
            return;
        }
    }
}

void Client::call_service(const std::function<void(Writer&, const RequestContext&)>& encode,
                          const std::function<void(Reader&)>& decode) {
    if (!connected()) {
        throw UaError(status::BadNotConnected, last_error_.empty() ? "not connected" : last_error_);
    }
    try {
        body_.clear();
        encode(body_, context(true));
        decoded(*channel_, [&] {
            Reader r = call(body_);
            decode(r);
            return 0;
        });
    } catch (const ServiceError& e) {
        if (is_session_fatal(e.code()) || is_connection_fatal(e.code())) {
            last_error_ = e.what();
            session_ = Session::created;
            if (is_connection_fatal(e.code())) {
                channel_->mark_broken();
            }
        }
        throw;
    } catch (const UaError& e) {
        last_error_ = e.what();
        throw;
    }
}

std::uint32_t Client::post_service(
    const std::function<void(Writer&, const RequestContext&)>& encode) {
    if (!connected()) {
        throw UaError(status::BadNotConnected, last_error_.empty() ? "not connected" : last_error_);
    }
    try {
        body_.clear();
        encode(body_, context(true));
        return channel_->post(body_);
    } catch (const UaError& e) {
        last_error_ = e.what();
        throw;
    }
}

std::optional<SecureChannel::Posted> Client::poll_posted(Clock::time_point deadline) {
    if (!channel_ || !channel_->usable()) {
        throw UaError(status::BadNotConnected, last_error_.empty() ? "not connected" : last_error_);
    }
    try {
        return channel_->poll(deadline);
    } catch (const UaError& e) {
        last_error_ = e.what();
        throw;
    }
}

std::vector<std::optional<double>> Client::read_server_numbers(std::span<const std::uint32_t> ids) {
    std::vector<ValueRecord> values(ids.size());
    call_service(
        [&](Writer& w, const RequestContext& ctx) { encode_read_numeric(w, ctx, ids); },
        [&](Reader& r) { decode_read_response(r, values, std::chrono::system_clock::now()); });
    std::vector<std::optional<double>> out;
    for (const auto& v : values) {
        if (v.quality == kQualityGood && !std::isnan(v.value)) {
            out.emplace_back(v.value);
        } else {
            out.emplace_back();
        }
    }
    return out;
}

void Client::drop_connection() {
    if (channel_) {
        channel_->mark_broken();
        channel_->close();
    }
    if (session_ == Session::active) {
        session_ = Session::created;
    }
    last_error_ = "the connection was dropped";
}

void Client::close_left_sessions(const EndpointChoice& chosen) {
    if (!settings_.left_sessions) {
        return;
    }
    auto left = settings_.left_sessions->take(session_key_);
    for (std::size_t k = 0; k < left.size(); ++k) {
        authentication_token_ = left[k].token;
        session_ = Session::created;
        try {
            activate(chosen, left[k].server_nonce);
            session_ = Session::active;
            if (!close_session()) {
                throw UaError(status::BadTimeout, "the server did not answer CloseSession");
            }
        } catch (const UaError&) {
            if (!channel_->usable()) {
                // This channel is lost as well: the next one tries them again.
                for (; k < left.size(); ++k) {
                    settings_.left_sessions->remember(session_key_, std::move(left[k]));
                }
                session_ = Session::none;
                authentication_token_ = {};
                throw;
            }
            // The server no longer has it, or would not move it to this channel.
        }
        session_ = Session::none;
        authentication_token_ = {};
    }
}

bool Client::close_session() {
    try {
        body_.clear();
        encode_close_session(body_, context(true));
        decoded(*channel_, [&] {
            // A stalled server must not hold up the teardown for a full request timeout.
            Reader r = channel_->request(body_, std::chrono::milliseconds(1000));
            decode_close_session_response(r);
            return 0;
        });
        return true;
    } catch (const ServiceError&) {
        // Answered: the server has no such session any more.
        return true;
    } catch (const UaError&) {
        return false;
    }
}

void Client::close() {
    if (!channel_) {
        return;
    }
    // A session that was created but never activated is closed too, so that a refused
    // activation leaves nothing on the server.
    if (session_ != Session::none) {
        const bool closed = channel_->usable() && close_session();
        // Only an activated session may move to another channel to be closed there.
        if (!closed && session_ == Session::active && settings_.left_sessions) {
            const auto timeout = std::chrono::duration<double, std::milli>(
                revised_timeout_ms_ > 0 ? revised_timeout_ms_ : settings_.session_timeout_ms);
            settings_.left_sessions->remember(
                session_key_,
                {authentication_token_, server_nonce_,
                 Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout)});
        }
    }
    session_ = Session::none;
    channel_->close();
    channel_.reset();
}

std::vector<std::string> find_server_urls(const EndpointAddress& address,
                                          const ClientSettings& settings) {
    auto channel = open_channel(address, settings);
    std::vector<std::string> urls;
    const auto add = [&urls](const std::string& url) {
        if (url.rfind("opc.tcp://", 0) == 0 &&
            std::find(urls.begin(), urls.end(), url) == urls.end()) {
            urls.push_back(url);
        }
    };
    Writer body;
    try {
        encode_find_servers(
            body,
            RequestContext{nullptr, channel->next_request_handle(), channel->timeout_hint_ms()},
            address.url);
        auto servers = decoded(*channel, [&] {
            Reader r = channel->request(body);
            return decode_find_servers_response(r);
        });
        for (const auto& server : servers) {
            for (const auto& url : server.discovery_urls) {
                add(url);
            }
        }
    } catch (const ServiceError&) {
        // FindServers refused: the endpoints still name the server.
    }
    if (urls.empty() && channel->usable()) {
        body.clear();
        encode_get_endpoints(
            body,
            RequestContext{nullptr, channel->next_request_handle(), channel->timeout_hint_ms()},
            address.url);
        auto endpoints = decoded(*channel, [&] {
            Reader r = channel->request(body);
            return decode_get_endpoints_response(r);
        });
        for (const auto& e : endpoints) {
            add(e.endpoint_url);
        }
    }
    channel->close();
    return urls;
}

}  // namespace qevsdk::ua
