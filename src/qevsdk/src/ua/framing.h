// UA TCP framing: cutting a byte stream into frames, and assembling the chunks of one
// message. TCP may split or merge frames anywhere, so bytes are buffered until a whole
// frame is present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "status.h"

namespace qevsdk::ua {

inline constexpr std::size_t kFrameHeaderSize = 8;
// Message header, channel id, token id and sequence header of a MSG or CLO chunk.
inline constexpr std::size_t kSymmetricPrefixSize = 24;

enum class FrameType : std::uint8_t {
    Hello,
    Acknowledge,
    Error,
    ReverseHello,
    Open,
    Message,
    Close
};

struct Frame {
    FrameType type = FrameType::Message;
    char chunk = 'F';
    std::span<const std::uint8_t> bytes;  // the whole frame, header included
    std::span<const std::uint8_t> body() const { return bytes.subspan(kFrameHeaderSize); }
};

class FrameBuffer {
  public:
    explicit FrameBuffer(std::size_t max_frame) : max_frame_(max_frame) {}
    void set_max_frame(std::size_t max_frame) { max_frame_ = max_frame; }

    // Room for at least `min` more bytes. Invalidates frames returned before.
    std::span<std::uint8_t> writable(std::size_t min);
    void commit(std::size_t n) { end_ += n; }

    // The next complete frame, or nullopt until more bytes arrive. An unknown message type,
    // a chunk type that type cannot have, or a size outside 8..max_frame throws UaError.
    std::optional<Frame> next();
    std::size_t buffered() const { return end_ - begin_; }

  private:
    std::vector<std::uint8_t> buf_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t max_frame_;
};

// Collects the chunk bodies of one response. Only one response is awaited at a time.
class ChunkAssembler {
  public:
    enum class Result { Incomplete, Complete, Aborted };

    void set_limits(std::size_t max_message, std::size_t max_chunks) {
        max_message_ = max_message;
        max_chunks_ = max_chunks;
    }
    // `body` is the chunk after its sequence header. A complete message, or an abort's
    // Error and Reason, is then in message(), valid until the next add() or the next
    // FrameBuffer::writable().
    Result add(std::uint32_t request_id, char chunk, std::span<const std::uint8_t> body);
    std::span<const std::uint8_t> message() const { return message_; }
    std::uint32_t request_id() const { return request_id_; }
    void reset();

  private:
    std::vector<std::uint8_t> parts_;
    std::span<const std::uint8_t> message_;
    std::size_t chunks_ = 0;
    std::uint32_t request_id_ = 0;
    std::size_t max_message_ = 0;  // 0: no limit
    std::size_t max_chunks_ = 0;   // 0: no limit
};

}  // namespace qevsdk::ua
