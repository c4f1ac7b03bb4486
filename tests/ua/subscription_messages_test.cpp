// The subscription services' messages: a Publish response with data changes, an event list
// and a status change decodes as the server meant it, and no cut of it is read as anything.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ua/subscription_messages.h"

namespace {

using namespace qevsdk::ua;

void response_header(Writer& w, std::uint32_t type, std::uint32_t result = 0) {
    encode_numeric_node_id(w, 0, type);
    w.i64(kUnixEpochTicks);
    w.u32(9);  // RequestHandle
    w.u32(result);
    w.u8(0);    // ServiceDiagnostics
    w.i32(-1);  // StringTable
    w.u8(0);    // AdditionalHeader
    w.u8(0);
    w.u8(0);
}

// A notification as an ExtensionObject of its binary encoding.
void notification(Writer& w, std::uint32_t type, const Writer& body) {
    encode_numeric_node_id(w, 0, type);
    w.u8(1);
    w.i32(static_cast<std::int32_t>(body.size()));
    w.raw(body.data(), body.size());
}

std::vector<std::uint8_t> publish_response() {
    Writer changes;
    changes.i32(2);
    changes.u32(7);    // ClientHandle
    changes.u8(0x05);  // Value, SourceTimestamp
    changes.u8(11);    // Double
    changes.f64(2.5);
    changes.i64(kUnixEpochTicks + 10'000'000);  // one second after the epoch
    changes.u32(8);
    changes.u8(0x02);  // StatusCode only
    changes.u32(0x808C0000);
    changes.i32(-1);  // DiagnosticInfos
    Writer events;
    events.i32(0);
    Writer status;
    status.u32(0x800A0000);  // BadTimeout: the subscription expired
    status.u8(0);

    Writer w;
    response_header(w, type_id::PublishResponse);
    w.u32(41);  // SubscriptionId
    w.i32(2);   // AvailableSequenceNumbers
    w.u32(5);
    w.u32(6);
    w.boolean(true);  // MoreNotifications
    w.u32(6);         // SequenceNumber
    w.i64(kUnixEpochTicks);
    w.i32(3);
    notification(w, type_id::DataChangeNotification, changes);
    notification(w, 916, events);  // EventNotificationList: skipped
    notification(w, type_id::StatusChangeNotification, status);
    w.i32(1);  // Results of the acknowledgements
    w.u32(0x807A0000);
    w.i32(-1);
    return w.bytes();
}

TEST(SubscriptionMessages, APublishResponseDecodesWithEveryNotification) {
    const auto bytes = publish_response();
    Reader r(bytes.data(), bytes.size());
    const PublishResult p = decode_publish_response(r);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(p.subscription_id, 41u);
    EXPECT_EQ(p.available_sequence_numbers, (std::vector<std::uint32_t>{5, 6}));
    EXPECT_TRUE(p.more_notifications);
    EXPECT_EQ(p.message.sequence_number, 6u);
    EXPECT_TRUE(p.message.has_notifications);
    ASSERT_EQ(p.message.changes.size(), 2u);
    EXPECT_EQ(p.message.changes[0].client_handle, 7u);
    EXPECT_EQ(p.message.changes[0].value.number, 2.5);
    EXPECT_EQ(p.message.changes[0].value.source_ticks, kUnixEpochTicks + 10'000'000);
    EXPECT_EQ(p.message.changes[1].client_handle, 8u);
    EXPECT_EQ(p.message.changes[1].value.status, 0x808C0000u);
    EXPECT_EQ(p.message.subscription_status, 0x800A0000u);
    EXPECT_EQ(p.ack_results, (std::vector<std::uint32_t>{0x807A0000}));
}

TEST(SubscriptionMessages, NoCutOfAPublishResponseIsTakenForOne) {
    const auto bytes = publish_response();
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        Reader r(bytes.data(), n);
        EXPECT_THROW((void)decode_publish_response(r), DecodeError) << n;
    }
    // A notification that claims more bytes than the message holds.
    auto longer = bytes;
    const std::size_t length_at = 4 + 24 + 4 + 4 + 8 + 1 + 4 + 8 + 4 + 4 + 1;
    longer[length_at] = 0xFF;
    Reader r(longer.data(), longer.size());
    EXPECT_THROW((void)decode_publish_response(r), DecodeError);
}

TEST(SubscriptionMessages, AKeepAliveAndAFaultAreToldApart) {
    Writer w;
    response_header(w, type_id::PublishResponse);
    w.u32(41);
    w.i32(0);
    w.boolean(false);
    w.u32(12);  // the next sequence number
    w.i64(kUnixEpochTicks);
    w.i32(0);  // no notifications: a keep-alive
    w.i32(0);
    w.i32(0);
    Reader r(w.data(), w.size());
    const PublishResult keep_alive = decode_publish_response(r);
    EXPECT_FALSE(keep_alive.message.has_notifications);
    EXPECT_EQ(keep_alive.message.sequence_number, 12u);

    Writer fault;
    response_header(fault, type_id::ServiceFault, 0x80790000);  // BadNoSubscription
    Reader f(fault.data(), fault.size());
    try {
        (void)decode_publish_response(f);
        FAIL() << "a fault decoded as a response";
    } catch (const ServiceError& e) {
        EXPECT_EQ(e.code(), 0x80790000u);
    }
}

TEST(SubscriptionMessages, ItemsCarryTheirHandleQueueAndDeadband) {
    const qevsdk::TagRequest node{5, 2, "Demo.Ramp"};
    const ItemToCreate items[] = {{&node, 3, true}, {&node, 4, false}};
    MonitoredItemParams p;
    p.sampling_interval_ms = 100;
    p.queue_size = 20;
    p.deadband = DeadbandType::Percent;
    p.deadband_value = 5;
    Writer w;
    std::vector<std::uint8_t> scratch;
    encode_create_monitored_items(w, RequestContext{}, 41, items, p, scratch);
    Reader r(w.data(), w.size());
    EXPECT_EQ(decode_type_id(r), type_id::CreateMonitoredItemsRequest);
    r.skip(2 + 8 + 4 + 4 + 4 + 4 + 3);  // the request header with a null token
    EXPECT_EQ(r.u32(), 41u);
    EXPECT_EQ(r.i32(), 2);  // both timestamps
    EXPECT_EQ(r.i32(), 2);
    for (const auto& item : items) {
        (void)decode_node_id(r);
        EXPECT_EQ(r.u32(), 13u);
        r.skip(4 + 2 + 4);
        EXPECT_EQ(r.i32(), 2);  // Reporting
        EXPECT_EQ(r.u32(), item.client_handle);
        EXPECT_EQ(r.f64(), 100.0);
        if (item.with_filter) {
            EXPECT_EQ(decode_type_id(r), type_id::DataChangeFilter);
            EXPECT_EQ(r.u8(), 1);
            EXPECT_EQ(r.i32(), 16);
            EXPECT_EQ(r.i32(), 1);   // StatusValue
            EXPECT_EQ(r.u32(), 2u);  // Percent
            EXPECT_EQ(r.f64(), 5.0);
        } else {
            skip_extension_object(r);
        }
        EXPECT_EQ(r.u32(), 20u);
        EXPECT_TRUE(r.boolean());
    }
    EXPECT_EQ(r.remaining(), 0u);
}

}  // namespace
