// The subscription services on the wire.
#include "subscription_messages.h"

#include "node_text.h"

namespace qevsdk::ua {

namespace {

// The smallest wire sizes, so that a count the message cannot hold is refused early.
constexpr std::size_t kMinMonitoredItemResult = 4 + 4 + 8 + 4 + 3;
constexpr std::size_t kMinExtensionObject = 3;
constexpr std::size_t kMinItemChange = 4 + 1;

void skip_diagnostics(Reader& r) {
    const std::size_t n = r.array_length(1);
    for (std::size_t i = 0; i < n; ++i) {
        skip_diagnostic_info(r);
    }
}

// A DataChangeNotification's body: the changes, in the server's order.
void decode_data_changes(Reader& r, std::vector<ItemChange>& out) {
    const std::size_t n = r.array_length(kMinItemChange);
    out.reserve(out.size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        ItemChange c;
        c.client_handle = r.u32();
        decode_data_value(r, c.value);
        out.push_back(std::move(c));
    }
    skip_diagnostics(r);
}

NotificationMessage decode_notification_message(Reader& r) {
    NotificationMessage m;
    m.sequence_number = r.u32();
    r.skip(8);  // PublishTime
    const std::size_t n = r.array_length(kMinExtensionObject);
    for (std::size_t i = 0; i < n; ++i) {
        const auto type = decode_type_id(r);
        const std::uint8_t encoding = r.u8();
        if (encoding == 0) {
            continue;
        }
        if (encoding != 1) {
            throw DecodeError("a notification that is not binary-encoded");
        }
        const std::int32_t length = r.i32();
        if (length < 0 || static_cast<std::size_t>(length) > r.remaining()) {
            throw DecodeError("a notification longer than its message");
        }
        Reader body(r.position(), static_cast<std::size_t>(length));
        r.skip(static_cast<std::size_t>(length));
        m.has_notifications = true;
        if (type == type_id::DataChangeNotification) {
            decode_data_changes(body, m.changes);
        } else if (type == type_id::StatusChangeNotification) {
            m.subscription_status = body.u32();
        }
        // Events and unknown kinds: skipped by their length.
    }
    return m;
}

void encode_u32_array(Writer& w, std::span<const std::uint32_t> ids) {
    w.i32(static_cast<std::int32_t>(ids.size()));
    for (std::uint32_t id : ids) {
        w.u32(id);
    }
}

}  // namespace

void encode_create_subscription(Writer& w, const RequestContext& ctx, const SubscriptionParams& p) {
    encode_numeric_node_id(w, 0, type_id::CreateSubscriptionRequest);
    encode_request_header(w, ctx);
    w.f64(p.publishing_interval_ms);
    w.u32(p.lifetime_count);
    w.u32(p.max_keep_alive_count);
    w.u32(0);  // MaxNotificationsPerPublish: no limit
    w.boolean(true);
    w.u8(0);  // Priority
}

CreatedSubscription decode_create_subscription_response(Reader& r) {
    decode_response_start(r, type_id::CreateSubscriptionResponse);
    CreatedSubscription s;
    s.id = r.u32();
    s.publishing_interval_ms = r.f64();
    s.lifetime_count = r.u32();
    s.max_keep_alive_count = r.u32();
    return s;
}

void encode_create_monitored_items(Writer& w, const RequestContext& ctx,
                                   std::uint32_t subscription_id,
                                   std::span<const ItemToCreate> items,
                                   const MonitoredItemParams& p, std::vector<std::uint8_t>& scratch,
                                   NamespaceTable* namespaces) {
    encode_numeric_node_id(w, 0, type_id::CreateMonitoredItemsRequest);
    encode_request_header(w, ctx);
    w.u32(subscription_id);
    w.i32(2);  // TimestampsToReturn Both
    w.i32(static_cast<std::int32_t>(items.size()));
    for (const auto& item : items) {
        encode_tag_node_id(w, item.node->namespace_index, item.node->tag_name, scratch, namespaces);
        w.u32(kAttributeValue);
        w.null_string();  // IndexRange
        w.u16(0);         // DataEncoding: default
        w.null_string();
        w.i32(2);  // MonitoringMode Reporting
        w.u32(item.client_handle);
        w.f64(p.sampling_interval_ms);
        if (item.with_filter && p.deadband != DeadbandType::None) {
            encode_numeric_node_id(w, 0, type_id::DataChangeFilter);
            w.u8(1);
            w.i32(4 + 4 + 8);
            w.i32(1);  // Trigger StatusValue
            w.u32(static_cast<std::uint32_t>(p.deadband));
            w.f64(p.deadband_value);
        } else {
            w.u8(0);  // no filter: the server's default, a change of status or value
            w.u8(0);
            w.u8(0);
        }
        w.u32(p.queue_size);
        w.boolean(true);  // DiscardOldest
    }
}

std::vector<MonitoredItemResult> decode_create_monitored_items_response(Reader& r,
                                                                        std::size_t expected) {
    decode_response_start(r, type_id::CreateMonitoredItemsResponse);
    const std::size_t n = r.array_length(kMinMonitoredItemResult);
    if (n != expected) {
        throw DecodeError("the server answered " + std::to_string(n) + " of " +
                          std::to_string(expected) + " monitored items");
    }
    std::vector<MonitoredItemResult> out(n);
    for (auto& item : out) {
        item.status = r.u32();
        item.id = r.u32();
        item.sampling_interval_ms = r.f64();
        item.queue_size = r.u32();
        skip_extension_object(r);  // FilterResult
    }
    skip_diagnostics(r);
    return out;
}

void encode_publish(Writer& w, const RequestContext& ctx, std::span<const Acknowledgement> acks) {
    encode_numeric_node_id(w, 0, type_id::PublishRequest);
    encode_request_header(w, ctx);
    w.i32(static_cast<std::int32_t>(acks.size()));
    for (const auto& a : acks) {
        w.u32(a.subscription_id);
        w.u32(a.sequence_number);
    }
}

PublishResult decode_publish_response(Reader& r) {
    decode_response_start(r, type_id::PublishResponse);
    PublishResult p;
    p.subscription_id = r.u32();
    const std::size_t available = r.array_length(4);
    p.available_sequence_numbers.reserve(available);
    for (std::size_t i = 0; i < available; ++i) {
        p.available_sequence_numbers.push_back(r.u32());
    }
    p.more_notifications = r.boolean();
    p.message = decode_notification_message(r);
    const std::size_t results = r.array_length(4);
    p.ack_results.reserve(results);
    for (std::size_t i = 0; i < results; ++i) {
        p.ack_results.push_back(r.u32());
    }
    skip_diagnostics(r);
    return p;
}

void encode_republish(Writer& w, const RequestContext& ctx, std::uint32_t subscription_id,
                      std::uint32_t sequence_number) {
    encode_numeric_node_id(w, 0, type_id::RepublishRequest);
    encode_request_header(w, ctx);
    w.u32(subscription_id);
    w.u32(sequence_number);
}

NotificationMessage decode_republish_response(Reader& r) {
    decode_response_start(r, type_id::RepublishResponse);
    return decode_notification_message(r);
}

void encode_transfer_subscriptions(Writer& w, const RequestContext& ctx,
                                   std::span<const std::uint32_t> ids, bool send_initial_values) {
    encode_numeric_node_id(w, 0, type_id::TransferSubscriptionsRequest);
    encode_request_header(w, ctx);
    encode_u32_array(w, ids);
    w.boolean(send_initial_values);
}

std::vector<std::uint32_t> decode_transfer_subscriptions_response(Reader& r, std::size_t expected) {
    decode_response_start(r, type_id::TransferSubscriptionsResponse);
    const std::size_t n = r.array_length(8);
    if (n != expected) {
        throw DecodeError("the server answered " + std::to_string(n) + " of " +
                          std::to_string(expected) + " subscription transfers");
    }
    std::vector<std::uint32_t> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(r.u32());
        const std::size_t available = r.array_length(4);
        r.skip(available * 4);
    }
    skip_diagnostics(r);
    return out;
}

void encode_delete_subscriptions(Writer& w, const RequestContext& ctx,
                                 std::span<const std::uint32_t> ids) {
    encode_numeric_node_id(w, 0, type_id::DeleteSubscriptionsRequest);
    encode_request_header(w, ctx);
    encode_u32_array(w, ids);
}

void decode_delete_subscriptions_response(Reader& r) {
    decode_response_start(r, type_id::DeleteSubscriptionsResponse);
    const std::size_t n = r.array_length(4);
    r.skip(n * 4);
    skip_diagnostics(r);
}

}  // namespace qevsdk::ua
