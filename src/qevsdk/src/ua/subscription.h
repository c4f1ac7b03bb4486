// Values reported by exception: a UA source that subscribes keeps one or more subscriptions
// on its session, and answers reads from what the server last reported instead of asking
// for every value each time.
//
// Everything happens on the caller's thread, inside read(): the Publish requests stay
// outstanding on the server between reads, and each read collects the responses that have
// arrived, acknowledges them with the next Publish requests, and asks again for a sequence
// number it missed. A session that is lost is replaced and its subscriptions transferred to
// the new one (or created afresh when the server refuses), within the same read.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "client.h"
#include "qevsdk/qevsdk.h"
#include "qevsdk/ua_subscription.h"
#include "subscription_messages.h"

namespace qevsdk::ua {

struct SubscriptionSettings {
    // How often the server publishes; at least one report per interval.
    double publishing_interval_ms = 1000;
    // Items: 0 samples each change as it is set; the server may revise it.
    MonitoredItemParams item;
    // Publish requests kept on the server at least; one more than there are subscriptions
    // when that is more, as far as the server takes them.
    std::size_t publish_requests = 3;
    // Whether every reported change is kept for take_changes(), not only the last one.
    bool keep_changes = false;
    // Changes kept at most between two take_changes() calls; the oldest go first.
    std::size_t max_kept_changes = 1'000'000;
    // How long a read waits for the first values of items it has just created.
    std::chrono::milliseconds initial_wait{3000};
    // Replaces a lost connection and session: Client::connect on the source's address.
    // Throws UaError when the server cannot be reached.
    std::function<void(Client&)> reconnect;
    // Where the operator hears of refused items and lost subscriptions: (level, text),
    // level 0 information, 1 warning, 2 error.
    std::function<void(int, const std::string&)> log;
    // Tests: a notification message for which this says true is treated as lost on the way.
    std::function<bool(std::uint32_t sequence_number)> lose_message;
};

using ReportedChange = ChangeRecord;

// What set_ua_subscription last set (the defaults until then).
UaSubscription subscription_settings();
// The public settings as the item parameters of a subscription.
MonitoredItemParams item_params(const UaSubscription& s);

class Subscriptions {
  public:
    Subscriptions(Client& client, SubscriptionSettings settings);
    ~Subscriptions();
    Subscriptions(const Subscriptions&) = delete;
    Subscriptions& operator=(const Subscriptions&) = delete;

    // One record per node: the last value the server reported for it. A node read for the
    // first time becomes a monitored item; a node the server refused reads Bad. Never throws:
    // a connection that is lost and cannot be restored gives Bad records.
    void read(std::span<const TagRequest> nodes, std::span<ValueRecord> out);

    // Every change reported since the last call, each node's in the order of its source
    // times (keep_changes only). Responses that have arrived are taken in first, without
    // waiting; a connection found lost is left to the next read to restore.
    std::vector<ReportedChange> take_changes();

    // Items the server is reporting on now.
    std::size_t live_items() const { return live_; }
    std::size_t subscription_count() const { return subs_.size(); }
    // Republish requests answered, subscriptions transferred and created afresh so far.
    std::size_t republished() const { return republished_; }
    std::size_t transferred() const { return transferred_; }
    std::size_t recreated() const { return recreated_; }
    const std::string& last_error() const { return last_error_; }

    // Deletes the subscriptions on the server. Never throws; harmless twice.
    void close();

  private:
    enum class ItemState { pending, live, refused };
    struct Item {
        TagRequest node;
        ItemState state = ItemState::pending;
        std::uint32_t server_id = 0;
        std::size_t sub = 0;  // index into subs_
        std::uint32_t status = 0;
        bool with_filter = true;
        bool has_value = false;
        bool logged = false;
        ValueRecord last{};
    };
    struct Sub {
        std::uint32_t id = 0;
        double interval_ms = 0;
        std::uint32_t lifetime_count = 0;
        std::uint32_t keep_alive_count = 0;
        std::size_t items = 0;
        std::uint32_t last_sequence = 0;  // 0: none seen yet
        Clock::time_point last_message;
        bool lost = false;
        bool silent = false;  // longer without a word than a keep-alive allows
    };

    void log(int level, const std::string& text) const;
    bool ensure_connected();
    void restore_after_reconnect();
    void read_limits();
    void create_pending();
    std::size_t open_subscription();
    void create_items(std::size_t sub, std::span<const std::size_t> items);
    void pump(Clock::time_point deadline);
    std::size_t publish_target() const;
    void post_publishes();
    void handle_posted(const SecureChannel::Posted& p);
    void process_message(Sub& sub, const NotificationMessage& m);
    void apply(const NotificationMessage& m);
    void republish_gap(Sub& sub, std::uint32_t next);
    void check_lifetimes();
    void check_silence();
    void recreate_lost();
    void connection_failed(const UaError& e);
    void count_live();
    Sub* find_sub(std::uint32_t id);

    Client& client_;
    SubscriptionSettings settings_;
    std::vector<Item> items_;
    std::unordered_map<std::string, std::size_t> index_;
    std::vector<Sub> subs_;
    std::vector<Acknowledgement> acks_;
    std::deque<ReportedChange> changes_;
    std::vector<std::uint8_t> scratch_;
    std::string key_;
    std::vector<std::size_t> slots_;  // items_ index of each node of the current read
    bool limits_read_ = false;
    std::size_t max_per_call_ = 0;          // 0: no stated limit
    std::size_t max_per_subscription_ = 0;  // 0: no stated limit
    std::size_t max_publish_requests_ = 0;  // 0: the server refused none so far
    Clock::time_point last_response_{};     // the last Publish response on the session
    std::size_t live_ = 0;
    // Items not yet asked for on the server: exact after count_live(), else at least 1 while
    // any may be. Spares a read the walk over every item when none is.
    std::size_t pending_ = 0;
    // Live items whose first report has not come yet.
    std::size_t awaiting_ = 0;
    // Where the next read's first node is looked for first: the item after the last one read.
    std::size_t next_slot_ = 0;
    std::size_t republished_ = 0;
    std::size_t transferred_ = 0;
    std::size_t recreated_ = 0;
    Clock::time_point last_read_{};
    std::string last_error_;
};

}  // namespace qevsdk::ua
