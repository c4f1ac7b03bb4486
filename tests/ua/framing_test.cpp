// Stream framing and chunk assembly: frames split and merged anywhere, size limits,
// chunk counts and aborts.
#include <gtest/gtest.h>

#include <cstring>

#include "test_bytes.h"
#include "ua/framing.h"

namespace qevsdk::ua {
namespace {

using test::hex;

std::vector<std::uint8_t> frame(const char* type, char chunk,
                                const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> f(type, type + 3);
    f.push_back(static_cast<std::uint8_t>(chunk));
    const auto size = static_cast<std::uint32_t>(8 + body.size());
    f.insert(f.end(), reinterpret_cast<const std::uint8_t*>(&size),
             reinterpret_cast<const std::uint8_t*>(&size) + 4);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

void feed(FrameBuffer& fb, const std::uint8_t* p, std::size_t n) {
    auto space = fb.writable(n);
    std::memcpy(space.data(), p, n);
    fb.commit(n);
}

TEST(UaFraming, FramesAreCutFromAStreamFedOneByteAtATime) {
    auto stream =
        hex("41 43 4b 46 1c 00 00 00 00 00 00 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 00 00");
    const auto second = frame("MSG", 'F', std::vector<std::uint8_t>(30, 0xAB));
    stream.insert(stream.end(), second.begin(), second.end());

    FrameBuffer fb(65536);
    std::vector<std::pair<FrameType, std::size_t>> seen;
    for (std::uint8_t b : stream) {
        feed(fb, &b, 1);
        while (auto f = fb.next()) {
            seen.emplace_back(f->type, f->bytes.size());
        }
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(FrameType::Acknowledge, std::size_t{28}));
    EXPECT_EQ(seen[1], std::make_pair(FrameType::Message, std::size_t{38}));
    EXPECT_EQ(fb.buffered(), 0u);
}

TEST(UaFraming, TwoFramesInOneReadAndAPartialHeaderAfterThem) {
    auto a = frame("MSG", 'C', {1, 2, 3});
    const auto b = frame("MSG", 'F', {4});
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), {'M', 'S', 'G'});  // start of a third frame
    FrameBuffer fb(65536);
    feed(fb, a.data(), a.size());
    auto f1 = fb.next();
    ASSERT_TRUE(f1);
    EXPECT_EQ(f1->chunk, 'C');
    EXPECT_EQ(f1->body().size(), 3u);
    auto f2 = fb.next();
    ASSERT_TRUE(f2);
    EXPECT_EQ(f2->chunk, 'F');
    EXPECT_FALSE(fb.next());
    EXPECT_EQ(fb.buffered(), 3u);
}

TEST(UaFraming, InvalidFramesAreRefusedWithTheirStatus) {
    const auto expect_code = [](const std::vector<std::uint8_t>& bytes, std::uint32_t code) {
        FrameBuffer fb(8192);
        feed(fb, bytes.data(), bytes.size());
        try {
            (void)fb.next();
            ADD_FAILURE() << "accepted " << test::to_hex(bytes);
        } catch (const UaError& e) {
            EXPECT_EQ(e.code(), code) << test::to_hex(bytes);
        }
    };
    // Larger than the receive buffer: refused before anything is buffered for it.
    expect_code(hex("4d 53 47 46 01 20 00 00"), status::BadTcpMessageTooLarge);
    expect_code(hex("4d 53 47 46 ff ff ff ff"), status::BadTcpMessageTooLarge);
    expect_code(hex("4d 53 47 46 04 00 00 00"), status::BadTcpMessageTypeInvalid);  // < header
    expect_code(hex("58 59 5a 46 10 00 00 00"), status::BadTcpMessageTypeInvalid);  // "XYZ"
    expect_code(hex("41 43 4b 43 1c 00 00 00"), status::BadTcpMessageTypeInvalid);  // ACK as 'C'
    expect_code(hex("4d 53 47 58 10 00 00 00"), status::BadTcpMessageTypeInvalid);  // chunk 'X'
}

TEST(UaFraming, ChunksAreAssembledInOrder) {
    ChunkAssembler a;
    a.set_limits(1 << 20, 10);
    const std::vector<std::uint8_t> p1{1, 2}, p2{3}, p3{4, 5};
    EXPECT_EQ(a.add(9, 'C', p1), ChunkAssembler::Result::Incomplete);
    EXPECT_EQ(a.add(9, 'C', p2), ChunkAssembler::Result::Incomplete);
    EXPECT_EQ(a.add(9, 'F', p3), ChunkAssembler::Result::Complete);
    EXPECT_EQ(std::vector<std::uint8_t>(a.message().begin(), a.message().end()),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    // The next message starts afresh.
    EXPECT_EQ(a.add(10, 'F', p2), ChunkAssembler::Result::Complete);
    EXPECT_EQ(a.message().size(), 1u);
    // Chunks of another response in the middle of one are refused.
    EXPECT_EQ(a.add(11, 'C', p1), ChunkAssembler::Result::Incomplete);
    EXPECT_THROW(a.add(12, 'F', p1), DecodeError);
}

TEST(UaFraming, AnAbortDiscardsTheCollectedChunks) {
    ChunkAssembler a;
    const std::vector<std::uint8_t> part(100, 1);
    EXPECT_EQ(a.add(3, 'C', part), ChunkAssembler::Result::Incomplete);
    const auto abort_body = hex("00 00 b9 80 04 00 00 00 \"huge\"");
    EXPECT_EQ(a.add(3, 'A', abort_body), ChunkAssembler::Result::Aborted);
    EXPECT_EQ(a.message().size(), abort_body.size());
    const std::vector<std::uint8_t> small{7};
    EXPECT_EQ(a.add(4, 'F', small), ChunkAssembler::Result::Complete);
    EXPECT_EQ(a.message().size(), 1u);
}

TEST(UaFraming, ChunkCountAndMessageSizeLimitsCountTheFinalChunk) {
    ChunkAssembler a;
    a.set_limits(1000, 3);
    const std::vector<std::uint8_t> part(10, 1);
    a.add(1, 'C', part);
    a.add(1, 'C', part);
    try {
        a.add(1, 'F', part);  // the third chunk is allowed
    } catch (...) {
        ADD_FAILURE() << "three chunks are within the limit";
    }
    a.add(2, 'C', part);
    a.add(2, 'C', part);
    a.add(2, 'C', part);
    EXPECT_THROW(a.add(2, 'F', part), UaError);

    ChunkAssembler s;
    s.set_limits(25, 0);
    s.add(5, 'C', part);
    s.add(5, 'C', part);
    EXPECT_THROW(s.add(5, 'F', part), UaError);
}

}  // namespace
}  // namespace qevsdk::ua
