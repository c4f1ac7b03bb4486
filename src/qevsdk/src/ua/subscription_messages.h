// The subscription services a client uses to be told of changes instead of asking: the
// requests it sends and the responses and notifications it reads, as whole message bodies
// (type id and structure) without the secure-channel prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec.h"
#include "messages.h"

namespace qevsdk::ua {

namespace type_id {
inline constexpr std::uint32_t DataChangeFilter = 724;
inline constexpr std::uint32_t CreateMonitoredItemsRequest = 751;
inline constexpr std::uint32_t CreateMonitoredItemsResponse = 754;
inline constexpr std::uint32_t CreateSubscriptionRequest = 787;
inline constexpr std::uint32_t CreateSubscriptionResponse = 790;
inline constexpr std::uint32_t DataChangeNotification = 811;
inline constexpr std::uint32_t StatusChangeNotification = 820;
inline constexpr std::uint32_t PublishRequest = 826;
inline constexpr std::uint32_t PublishResponse = 829;
inline constexpr std::uint32_t RepublishRequest = 832;
inline constexpr std::uint32_t RepublishResponse = 835;
inline constexpr std::uint32_t TransferSubscriptionsRequest = 841;
inline constexpr std::uint32_t TransferSubscriptionsResponse = 844;
inline constexpr std::uint32_t DeleteSubscriptionsRequest = 847;
inline constexpr std::uint32_t DeleteSubscriptionsResponse = 850;
}  // namespace type_id

// Server_ServerCapabilities_OperationLimits_MaxMonitoredItemsPerCall and
// Server_ServerCapabilities_MaxMonitoredItemsPerSubscription (namespace 0).
inline constexpr std::uint32_t kNodeMaxMonitoredItemsPerCall = 11714;
inline constexpr std::uint32_t kNodeMaxMonitoredItemsPerSubscription = 24104;

struct SubscriptionParams {
    double publishing_interval_ms = 1000;
    std::uint32_t lifetime_count = 120;
    std::uint32_t max_keep_alive_count = 10;
};
void encode_create_subscription(Writer& w, const RequestContext& ctx, const SubscriptionParams& p);
struct CreatedSubscription {
    std::uint32_t id = 0;
    double publishing_interval_ms = 0;
    std::uint32_t lifetime_count = 0;
    std::uint32_t max_keep_alive_count = 0;
};
CreatedSubscription decode_create_subscription_response(Reader& r);

enum class DeadbandType : std::uint32_t { None = 0, Absolute = 1, Percent = 2 };

struct MonitoredItemParams {
    double sampling_interval_ms = 0;
    std::uint32_t queue_size = 1;
    DeadbandType deadband = DeadbandType::None;
    double deadband_value = 0;
};
// One item to create: the tag's node and the handle its notifications will carry.
struct ItemToCreate {
    const TagRequest* node = nullptr;
    std::uint32_t client_handle = 0;
    bool with_filter = true;  // false: no DataChangeFilter even when a deadband is set
};
// nsu= tags resolve through `namespaces`, as in a read.
void encode_create_monitored_items(Writer& w, const RequestContext& ctx,
                                   std::uint32_t subscription_id,
                                   std::span<const ItemToCreate> items,
                                   const MonitoredItemParams& p, std::vector<std::uint8_t>& scratch,
                                   NamespaceTable* namespaces = nullptr);
struct MonitoredItemResult {
    std::uint32_t status = 0;
    std::uint32_t id = 0;
    double sampling_interval_ms = 0;
    std::uint32_t queue_size = 0;
};
// Exactly `expected` results, else a DecodeError.
std::vector<MonitoredItemResult> decode_create_monitored_items_response(Reader& r,
                                                                        std::size_t expected);

struct Acknowledgement {
    std::uint32_t subscription_id = 0;
    std::uint32_t sequence_number = 0;
};
void encode_publish(Writer& w, const RequestContext& ctx, std::span<const Acknowledgement> acks);

// One value change the server reported.
struct ItemChange {
    std::uint32_t client_handle = 0;
    DataValue value;
};
struct NotificationMessage {
    std::uint32_t sequence_number = 0;
    std::vector<ItemChange> changes;
    // From a StatusChangeNotification: the subscription's own state (BadTimeout: it expired).
    std::optional<std::uint32_t> subscription_status;
    // Data changes, events or status: not a keep-alive.
    bool has_notifications = false;
};
struct PublishResult {
    std::uint32_t subscription_id = 0;
    std::vector<std::uint32_t> available_sequence_numbers;
    bool more_notifications = false;
    NotificationMessage message;
    std::vector<std::uint32_t> ack_results;
};
// A ServiceFault or Bad ServiceResult throws ServiceError (BadNoSubscription, BadTimeout...).
PublishResult decode_publish_response(Reader& r);

void encode_republish(Writer& w, const RequestContext& ctx, std::uint32_t subscription_id,
                      std::uint32_t sequence_number);
NotificationMessage decode_republish_response(Reader& r);

void encode_transfer_subscriptions(Writer& w, const RequestContext& ctx,
                                   std::span<const std::uint32_t> ids, bool send_initial_values);
// One status per id, in order; exactly `expected`, else a DecodeError.
std::vector<std::uint32_t> decode_transfer_subscriptions_response(Reader& r, std::size_t expected);

void encode_delete_subscriptions(Writer& w, const RequestContext& ctx,
                                 std::span<const std::uint32_t> ids);
void decode_delete_subscriptions_response(Reader& r);

}  // namespace qevsdk::ua
