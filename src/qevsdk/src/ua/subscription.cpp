// Subscriptions kept on one client session, pumped by the reads.
#include "subscription.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>

#include "quality.h"

namespace qevsdk::ua {

namespace {

// Items per CreateMonitoredItems call when the server states no limit: one call for
// 100,000 items would be a message of megabytes that some servers refuse.
constexpr std::size_t kDefaultItemsPerCall = 1000;
// A subscription holds this many items at most when the server states no limit.
constexpr std::size_t kDefaultItemsPerSubscription = 50'000;
// How many refused tags one log line names.
constexpr std::size_t kNamesPerLine = 20;

constexpr std::uint32_t kBadWaitingForInitialData = 0x80320000;

bool is_filter_refusal(std::uint32_t code) {
    switch (code & 0xFFFF0000) {
        case status::BadMonitoredItemFilterInvalid:
        case status::BadMonitoredItemFilterUnsupported:
        case status::BadFilterNotAllowed:
        case status::BadDeadbandFilterInvalid:
            return true;
        default:
            return false;
    }
}

std::string tag_text(const TagRequest& node) {
    return std::to_string(node.namespace_index) + ":" + node.tag_name;
}

ValueRecord bad_with(std::uint32_t code, std::chrono::system_clock::time_point when) {
    ValueRecord r = bad_record(when);
    r.status = code;
    return r;
}

std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < kNamesPerLine; ++i) {
        out += (i ? ", " : "") + names[i];
    }
    if (names.size() > kNamesPerLine) {
        out += " and " + std::to_string(names.size() - kNamesPerLine) + " more";
    }
    return out;
}

std::mutex settings_mutex;
UaSubscription process_settings;

}  // namespace

UaSubscription subscription_settings() {
    std::lock_guard lock(settings_mutex);
    return process_settings;
}

MonitoredItemParams item_params(const UaSubscription& s) {
    MonitoredItemParams p;
    p.sampling_interval_ms = s.sampling_interval_ms;
    p.queue_size = s.queue_size;
    p.deadband = s.deadband == UaDeadband::absolute  ? DeadbandType::Absolute
                 : s.deadband == UaDeadband::percent ? DeadbandType::Percent
                                                     : DeadbandType::None;
    p.deadband_value = s.deadband_value;
    return p;
}

}  // namespace qevsdk::ua

namespace qevsdk {

void set_ua_subscription(const UaSubscription& settings) {
    if (!(settings.sampling_interval_ms >= 0) || !std::isfinite(settings.sampling_interval_ms)) {
        throw Error("the sampling interval of a subscription must be 0 or more milliseconds");
    }
    if (settings.queue_size == 0) {
        throw Error("the queue size of a subscription must be at least 1");
    }
    if (settings.deadband != UaDeadband::none &&
        (!(settings.deadband_value >= 0) || !std::isfinite(settings.deadband_value) ||
         (settings.deadband == UaDeadband::percent && settings.deadband_value > 100))) {
        throw Error("a deadband must be 0 or more (a percent deadband at most 100)");
    }
    std::lock_guard lock(ua::settings_mutex);
    ua::process_settings = settings;
}

}  // namespace qevsdk

namespace qevsdk::ua {

Subscriptions::Subscriptions(Client& client, SubscriptionSettings settings)
    : client_(client), settings_(std::move(settings)) {
    settings_.publish_requests = std::max<std::size_t>(settings_.publish_requests, 1);
    settings_.publishing_interval_ms = std::max(settings_.publishing_interval_ms, 10.0);
}

Subscriptions::~Subscriptions() {
    close();
}

void Subscriptions::log(int level, const std::string& text) const {
    if (settings_.log) {
        settings_.log(level, text);
    }
}

Subscriptions::Sub* Subscriptions::find_sub(std::uint32_t id) {
    for (auto& s : subs_) {
        if (s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

void Subscriptions::count_live() {
    live_ = pending_ = awaiting_ = 0;
    for (const Item& i : items_) {
        if (i.state == ItemState::live) {
            ++live_;
            awaiting_ += i.has_value ? 0 : 1;
        } else if (i.state == ItemState::pending) {
            ++pending_;
        }
    }
}

void Subscriptions::connection_failed(const UaError& e) {
    last_error_ = e.what();
    if (!client_.connected()) {
        return;
    }
    if (is_session_fatal(e.code()) || is_connection_fatal(e.code())) {
        // The session is gone; the next read replaces it and brings the subscriptions back.
        client_.drop_connection();
    }
}

bool Subscriptions::ensure_connected() {
    if (client_.connected()) {
        return true;
    }
    if (!settings_.reconnect) {
        return false;
    }
    try {
        settings_.reconnect(client_);
    } catch (const UaError& e) {
        last_error_ = e.what();
        return false;
    }
    restore_after_reconnect();
    return client_.connected();
}

// A new session: the old one's subscriptions move over where the server allows it, else they
// are made again with their items.
void Subscriptions::restore_after_reconnect() {
    acks_.clear();
    if (subs_.empty()) {
        return;
    }
    std::vector<std::uint32_t> ids;
    for (const auto& s : subs_) {
        ids.push_back(s.id);
    }
    std::vector<std::uint32_t> results(ids.size(), status::BadServiceUnsupported);
    try {
        client_.call_service(
            [&](Writer& w, const RequestContext& ctx) {
                // Only what changed since the last report: values already reported
                // are not reported twice.
                encode_transfer_subscriptions(w, ctx, ids, false);
            },
            [&](Reader& r) { results = decode_transfer_subscriptions_response(r, ids.size()); });
    } catch (const ServiceError& e) {
        log(1, "the server does not transfer subscriptions (" + status_text(e.code()) +
                   "); creating them afresh");
    } catch (const UaError& e) {
        connection_failed(e);
        return;
    }
    std::size_t moved = 0;
    for (std::size_t i = 0; i < subs_.size(); ++i) {
        if (is_bad(results[i])) {
            subs_[i].lost = true;
        } else {
            subs_[i].last_message = Clock::now();
            ++moved;
        }
    }
    transferred_ += moved;
    if (moved > 0) {
        log(0, "transferred " + std::to_string(moved) + " subscription(s) to the new session");
    }
    recreate_lost();
}

void Subscriptions::recreate_lost() {
    if (std::none_of(subs_.begin(), subs_.end(), [](const Sub& s) { return s.lost; })) {
        return;
    }
    std::vector<std::uint32_t> doomed;
    std::vector<std::size_t> remap(subs_.size());
    std::vector<Sub> kept;
    for (std::size_t i = 0; i < subs_.size(); ++i) {
        if (subs_[i].lost) {
            doomed.push_back(subs_[i].id);
        } else {
            remap[i] = kept.size();
            kept.push_back(subs_[i]);
        }
    }
    // The old ones may still live on the server (a lifetime that ran out here but not there).
    try {
        client_.call_service(
            [&](Writer& w, const RequestContext& ctx) {
                encode_delete_subscriptions(w, ctx, doomed);
            },
            [](Reader& r) { decode_delete_subscriptions_response(r); });
    } catch (const ServiceError&) {
        // Gone already.
    } catch (const UaError& e) {
        connection_failed(e);
    }
    for (auto& item : items_) {
        if (item.state == ItemState::refused) {
            continue;
        }
        if (subs_[item.sub].lost) {
            item.state = ItemState::pending;
            item.server_id = 0;
            item.has_value = false;  // the new item's first report is awaited
        } else {
            item.sub = remap[item.sub];
        }
    }
    recreated_ += doomed.size();
    subs_ = std::move(kept);
    log(1, "creating " + std::to_string(doomed.size()) + " subscription(s) afresh");
    count_live();
}

void Subscriptions::read_limits() {
    if (limits_read_) {
        return;
    }
    const std::array<std::uint32_t, 2> ids{kNodeMaxMonitoredItemsPerCall,
                                           kNodeMaxMonitoredItemsPerSubscription};
    try {
        const auto limits = client_.read_server_numbers(ids);
        const auto take = [](const std::optional<double>& v) -> std::size_t {
            return v && *v >= 1 && *v < 4294967296.0 ? static_cast<std::size_t>(*v) : 0;
        };
        max_per_call_ = take(limits[0]);
        max_per_subscription_ = take(limits[1]);
    } catch (const ServiceError&) {
        // No stated limits.
    }
    limits_read_ = true;
}

std::size_t Subscriptions::open_subscription() {
    SubscriptionParams p;
    p.publishing_interval_ms = settings_.publishing_interval_ms;
    // A keep-alive about every 5 s; a lifetime that outlasts the collector's longest pause
    // between reads (its 60-second back-off) several times over.
    p.max_keep_alive_count = static_cast<std::uint32_t>(
        std::clamp(std::ceil(5000.0 / p.publishing_interval_ms), 1.0, 1000.0));
    p.lifetime_count = std::max<std::uint32_t>(
        3 * p.max_keep_alive_count,
        static_cast<std::uint32_t>(std::ceil(300'000.0 / p.publishing_interval_ms)));
    CreatedSubscription created;
    client_.call_service(
        [&](Writer& w, const RequestContext& ctx) { encode_create_subscription(w, ctx, p); },
        [&](Reader& r) { created = decode_create_subscription_response(r); });
    Sub s;
    s.id = created.id;
    s.interval_ms = created.publishing_interval_ms > 0 ? created.publishing_interval_ms
                                                       : p.publishing_interval_ms;
    s.lifetime_count = created.lifetime_count ? created.lifetime_count : p.lifetime_count;
    s.keep_alive_count =
        created.max_keep_alive_count ? created.max_keep_alive_count : p.max_keep_alive_count;
    s.last_message = Clock::now();
    subs_.push_back(s);
    return subs_.size() - 1;
}

void Subscriptions::create_pending() {
    if (pending_ == 0) {
        return;
    }
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].state == ItemState::pending) {
            pending.push_back(i);
        }
    }
    if (pending.empty()) {
        pending_ = 0;
        return;
    }
    read_limits();
    const std::size_t per_sub =
        max_per_subscription_ ? max_per_subscription_ : kDefaultItemsPerSubscription;
    std::size_t at = 0;
    while (at < pending.size()) {
        std::size_t sub = subs_.size();
        for (std::size_t s = 0; s < subs_.size(); ++s) {
            if (subs_[s].items < per_sub) {
                sub = s;
                break;
            }
        }
        if (sub == subs_.size()) {
            sub = open_subscription();
        }
        const std::size_t room = per_sub - subs_[sub].items;
        const std::size_t n = std::min(room, pending.size() - at);
        create_items(sub, std::span<const std::size_t>(pending).subspan(at, n));
        at += n;
    }
    count_live();
}

void Subscriptions::create_items(std::size_t sub, std::span<const std::size_t> which) {
    std::size_t per_call = max_per_call_ ? max_per_call_ : kDefaultItemsPerCall;
    std::vector<std::string> unfiltered;
    std::vector<std::size_t> retry;
    std::size_t at = 0;
    while (at < which.size()) {
        const std::size_t n = std::min(per_call, which.size() - at);
        std::vector<ItemToCreate> batch;
        batch.reserve(n);
        for (std::size_t k = at; k < at + n; ++k) {
            const Item& item = items_[which[k]];
            batch.push_back(
                {&item.node, static_cast<std::uint32_t>(which[k] + 1), item.with_filter});
        }
        std::vector<MonitoredItemResult> results;
        try {
            client_.call_service(
                [&](Writer& w, const RequestContext& ctx) {
                    encode_create_monitored_items(w, ctx, subs_[sub].id, batch, settings_.item,
                                                  scratch_, &client_.namespaces());
                },
                [&](Reader& r) { results = decode_create_monitored_items_response(r, n); });
        } catch (const ServiceError& e) {
            if (halving_helps(e.code()) && per_call > 1) {
                per_call = std::max<std::size_t>(n / 2, 1);
                continue;
            }
            throw;
        }
        for (std::size_t k = 0; k < n; ++k) {
            Item& item = items_[which[at + k]];
            const auto& result = results[k];
            if (!is_bad(result.status)) {
                item.state = ItemState::live;
                item.server_id = result.id;
                item.sub = sub;
                ++subs_[sub].items;
            } else if (item.with_filter && settings_.item.deadband != DeadbandType::None &&
                       is_filter_refusal(result.status)) {
                item.with_filter = false;
                unfiltered.push_back(tag_text(item.node));
                retry.push_back(which[at + k]);
            } else {
                item.state = ItemState::refused;
                item.status = result.status;
                if (!item.logged) {
                    item.logged = true;
                    log(1, "the server refused to monitor '" + tag_text(item.node) +
                               "': " + status_text(result.status));
                }
            }
        }
        at += n;
    }
    if (!retry.empty()) {
        log(1, "the server refused the deadband for " + std::to_string(unfiltered.size()) +
                   " tag(s), monitored without it: " + name_list(unfiltered));
        create_items(sub, retry);
    }
}

// Each subscription sends its keep-alive on a Publish request of its own; with fewer requests
// than subscriptions a quiet one waits behind the others. One more stays on the server while a
// response is on its way.
std::size_t Subscriptions::publish_target() const {
    const std::size_t wanted = std::max(settings_.publish_requests, subs_.size() + 1);
    return max_publish_requests_ != 0 ? std::min(wanted, max_publish_requests_) : wanted;
}

void Subscriptions::post_publishes() {
    std::uint32_t hint = 10'000;
    for (const auto& s : subs_) {
        hint = std::max(hint, static_cast<std::uint32_t>(
                                  std::min(s.interval_ms * s.keep_alive_count * 3, 3.6e6)));
    }
    const std::size_t target = publish_target();
    while (client_.posted() < target) {
        client_.post_service([&](Writer& w, const RequestContext& ctx) {
            RequestContext held = ctx;
            // The server holds a Publish until it has something to say: up to a keep-alive.
            held.timeout_hint_ms = hint;
            encode_publish(w, held, acks_);
        });
        acks_.clear();
    }
}

void Subscriptions::apply(const NotificationMessage& m) {
    const auto receipt = std::chrono::system_clock::now();
    for (const auto& change : m.changes) {
        if (change.client_handle == 0 || change.client_handle > items_.size()) {
            continue;  // not one of ours (an item of a subscription made before)
        }
        Item& item = items_[change.client_handle - 1];
        if (!item.has_value && item.state == ItemState::live && awaiting_ > 0) {
            --awaiting_;
        }
        fill_record(change.value, receipt, item.last);
        item.last.status = change.value.status;
        item.has_value = true;
        if (settings_.keep_changes) {
            if (changes_.size() >= settings_.max_kept_changes) {
                changes_.pop_front();
            }
            changes_.push_back({item.node, item.last});
        }
    }
}

void Subscriptions::republish_gap(Sub& sub, std::uint32_t next) {
    for (std::uint32_t seq = sub.last_sequence + 1; seq != next && seq != 0; ++seq) {
        try {
            NotificationMessage m;
            client_.call_service(
                [&](Writer& w, const RequestContext& ctx) {
                    encode_republish(w, ctx, sub.id, seq);
                },
                [&](Reader& r) { m = decode_republish_response(r); });
            apply(m);
            acks_.push_back({sub.id, seq});
            ++republished_;
        } catch (const ServiceError& e) {
            log(1, "notification " + std::to_string(seq) + " of subscription " +
                       std::to_string(sub.id) + " is lost: " + status_text(e.code()));
        }
    }
}

void Subscriptions::process_message(Sub& sub, const NotificationMessage& m) {
    sub.last_message = Clock::now();
    last_response_ = sub.last_message;
    if (m.subscription_status && is_bad(*m.subscription_status)) {
        log(1, "subscription " + std::to_string(sub.id) + " ended on the server (" +
                   status_text(*m.subscription_status) + ")");
        sub.lost = true;
        return;
    }
    if (!m.has_notifications) {
        // A keep-alive names the sequence number the next message will carry.
        if (sub.last_sequence != 0 && m.sequence_number > sub.last_sequence + 1) {
            republish_gap(sub, m.sequence_number);
            sub.last_sequence = m.sequence_number - 1;
        }
        return;
    }
    if (settings_.lose_message && settings_.lose_message(m.sequence_number)) {
        return;
    }
    if (sub.last_sequence != 0 && m.sequence_number > sub.last_sequence + 1) {
        republish_gap(sub, m.sequence_number);
    }
    if (sub.last_sequence == 0 || m.sequence_number > sub.last_sequence) {
        sub.last_sequence = m.sequence_number;
    }
    apply(m);
    acks_.push_back({sub.id, m.sequence_number});
}

void Subscriptions::handle_posted(const SecureChannel::Posted& p) {
    if (p.abort_code != 0) {
        return;
    }
    try {
        Reader r(p.body.data(), p.body.size());
        PublishResult result;
        try {
            result = decode_publish_response(r);
        } catch (const DecodeError& e) {
            throw invalid_message(e);
        }
        if (Sub* sub = find_sub(result.subscription_id)) {
            process_message(*sub, result.message);
        }
    } catch (const ServiceError& e) {
        const std::uint32_t code = e.code() & 0xFFFF0000;
        if (code == status::BadNoSubscription && !subs_.empty()) {
            // The session holds none of ours any more.
            for (auto& s : subs_) {
                s.lost = true;
            }
        } else if (code == status::BadTooManyPublishRequests) {
            max_publish_requests_ =
                std::max<std::size_t>(1, std::min(publish_target(), client_.posted()));
        } else if (is_session_fatal(code) || is_connection_fatal(code)) {
            connection_failed(e);
        }
        // BadTimeout: the server let the request go unanswered; another one follows.
    }
}

void Subscriptions::pump(Clock::time_point deadline) {
    // Items made just now (or again) are waited for until their first report.
    const auto waiting = [&] { return awaiting_ > 0; };
    for (;;) {
        post_publishes();
        auto p = client_.poll_posted(waiting() ? deadline : Clock::now());
        if (!p) {
            if (!waiting() || Clock::now() >= deadline) {
                break;
            }
            continue;
        }
        handle_posted(*p);
        if (!client_.connected()) {
            return;
        }
    }
    // Acknowledgements go out now rather than with the next read's requests.
    if (!acks_.empty()) {
        client_.post_service(
            [&](Writer& w, const RequestContext& ctx) { encode_publish(w, ctx, acks_); });
        acks_.clear();
    }
}

void Subscriptions::check_lifetimes() {
    const auto now = Clock::now();
    // A pause between reads longer than this leaves responses unread in the socket: silence
    // is measured only while reads come often enough to hear.
    for (auto& s : subs_) {
        const auto lifetime = std::chrono::duration<double, std::milli>(
            s.interval_ms * std::max<std::uint32_t>(s.keep_alive_count, 1) * 3);
        if (now - last_read_ > lifetime / 2) {
            s.last_message = now;
        } else if (now - s.last_message > lifetime) {
            log(1, "subscription " + std::to_string(s.id) + " sent no keep-alive for " +
                       std::to_string(static_cast<long long>(lifetime.count())) + " ms");
            s.lost = true;
        }
    }
}

// A server that stops answering (frozen, its network cut without a reset) keeps the channel
// open, so the last reported values would be handed out as if current until the subscription's
// lifetime runs out. Past half a keep-alive period more than the server may stay quiet, its
// items read Bad instead: a stale value must never be stored as a fresh Good one.
//
// A subscription's keep-alive can only come on a Publish request the session has on the server,
// and busy subscriptions take them as fast as they arrive: a quiet one may wait for one well past
// its keep-alive while the server answers the others. So a subscription is silent only while the
// whole session is: a server still answering Publish requests is not frozen, and one that lost a
// subscription says so (or its lifetime check finds it).
void Subscriptions::check_silence() {
    const auto now = Clock::now();
    for (auto& s : subs_) {
        const auto keep_alive = std::chrono::duration<double, std::milli>(
            s.interval_ms * std::max<std::uint32_t>(s.keep_alive_count, 1));
        const auto heard = std::max(s.last_message, last_response_);
        const bool silent = now - heard > keep_alive * 1.5;
        if (silent && !s.silent) {
            log(1, "subscription " + std::to_string(s.id) + " sent nothing for " +
                       std::to_string(static_cast<long long>(keep_alive.count() * 1.5)) +
                       " ms; its items read Bad until the server reports again");
        }
        s.silent = silent;
    }
}

void Subscriptions::read(std::span<const TagRequest> nodes, std::span<ValueRecord> out) {
    const auto receipt = std::chrono::system_clock::now();
    // A collector reads the same list in the same order every interval, and its items were
    // made in that order: each node is first looked for just after the one before it, and
    // hashed only when it is not there.
    slots_.resize(nodes.size());
    std::size_t guess = next_slot_;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const TagRequest& node = nodes[i];
        if (guess >= items_.size()) {
            guess = 0;
        }
        if (guess < items_.size() && items_[guess].node.namespace_index == node.namespace_index &&
            items_[guess].node.tag_name == node.tag_name) {
            slots_[i] = guess++;
            continue;
        }
        char digits[16];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), node.namespace_index);
        key_.assign(digits, end.ptr);
        key_.push_back('\n');
        key_.append(node.tag_name);
        const auto [it, added] = index_.try_emplace(key_, items_.size());
        if (added) {
            items_.push_back(Item{node});
            ++pending_;
        }
        slots_[i] = it->second;
        guess = it->second + 1;
    }
    next_slot_ = guess;
    // A connection found lost during the read is replaced at once, once: a server that is
    // still there answers this read, so the caller never sees the session change.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool was_up = client_.connected();
        try {
            if (ensure_connected()) {
                check_lifetimes();
                recreate_lost();
                create_pending();
                pump(Clock::now() + settings_.initial_wait);
                recreate_lost();
            }
        } catch (const UaError& e) {
            connection_failed(e);
        }
        if (client_.connected() || !was_up) {
            break;
        }
    }
    if (client_.connected()) {
        check_silence();
    }
    last_read_ = Clock::now();
    const bool up = client_.connected();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const Item& item = items_[slots_[i]];
        if (!up) {
            out[i] = bad_with(status::BadNotConnected, receipt);
        } else if (item.state == ItemState::refused) {
            out[i] = bad_with(item.status, receipt);
        } else if (!item.has_value) {
            out[i] = bad_with(kBadWaitingForInitialData, receipt);
        } else if (item.state == ItemState::live && item.sub < subs_.size() &&
                   subs_[item.sub].silent) {
            out[i] = bad_with(status::BadCommunicationError, receipt);
        } else {
            out[i] = item.last;
        }
    }
}

std::vector<ReportedChange> Subscriptions::take_changes() {
    if (client_.connected() && !subs_.empty()) {
        try {
            pump(Clock::now());
        } catch (const UaError& e) {
            connection_failed(e);
        }
    }
    std::vector<ReportedChange> out(std::make_move_iterator(changes_.begin()),
                                    std::make_move_iterator(changes_.end()));
    changes_.clear();
    return out;
}

void Subscriptions::close() {
    if (subs_.empty() || !client_.connected()) {
        subs_.clear();
        return;
    }
    std::vector<std::uint32_t> ids;
    for (const auto& s : subs_) {
        ids.push_back(s.id);
    }
    subs_.clear();
    try {
        client_.call_service(
            [&](Writer& w, const RequestContext& ctx) { encode_delete_subscriptions(w, ctx, ids); },
            [](Reader& r) { decode_delete_subscriptions_response(r); });
    } catch (const UaError&) {
        // Closing the session deletes them as well.
    }
}

}  // namespace qevsdk::ua
