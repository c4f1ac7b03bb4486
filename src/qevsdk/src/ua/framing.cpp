// UA TCP framing and chunk assembly.
#include "framing.h"

#include <cstring>
#include <string>

namespace qevsdk::ua {

namespace {

std::optional<FrameType> frame_type(const std::uint8_t* p) {
    auto is = [p](const char* t) { return std::memcmp(p, t, 3) == 0; };
    if (is("MSG"))
        return FrameType::Message;
    if (is("OPN"))
        return FrameType::Open;
    if (is("CLO"))
        return FrameType::Close;
    if (is("ACK"))
        return FrameType::Acknowledge;
    if (is("ERR"))
        return FrameType::Error;
    if (is("HEL"))
        return FrameType::Hello;
    if (is("RHE"))
        return FrameType::ReverseHello;
    return std::nullopt;
}

}  // namespace

std::span<std::uint8_t> FrameBuffer::writable(std::size_t min) {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (buf_.size() - end_ < min && begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buf_.size() - end_ < min) {
        buf_.resize(end_ + min);
    }
    return {buf_.data() + end_, buf_.size() - end_};
}

std::optional<Frame> FrameBuffer::next() {
    if (end_ - begin_ < kFrameHeaderSize) {
        return std::nullopt;
    }
    const std::uint8_t* p = buf_.data() + begin_;
    const auto type = frame_type(p);
    if (!type) {
        throw UaError(status::BadTcpMessageTypeInvalid, "the server sent an unknown message type");
    }
    const char chunk = static_cast<char>(p[3]);
    const bool chunk_ok =
        chunk == 'F' || (*type == FrameType::Message && (chunk == 'C' || chunk == 'A'));
    if (!chunk_ok) {
        throw UaError(status::BadTcpMessageTypeInvalid, "the server sent an invalid chunk type");
    }
    std::uint32_t size;
    std::memcpy(&size, p + 4, 4);
    if (size < kFrameHeaderSize) {
        throw UaError(status::BadTcpMessageTypeInvalid,
                      "the server sent a frame of " + std::to_string(size) + " bytes");
    }
    if (size > max_frame_) {
        throw UaError(status::BadTcpMessageTooLarge,
                      "the server sent a frame of " + std::to_string(size) +
                          " bytes, more than the agreed " + std::to_string(max_frame_));
    }
    if (end_ - begin_ < size) {
        return std::nullopt;
    }
    Frame f;
    f.type = *type;
    f.chunk = chunk;
    f.bytes = {p, size};
    begin_ += size;
    return f;
}

void ChunkAssembler::reset() {
    parts_.clear();
    message_ = {};
    chunks_ = 0;
    request_id_ = 0;
}

ChunkAssembler::Result ChunkAssembler::add(std::uint32_t request_id, char chunk,
                                           std::span<const std::uint8_t> body) {
    if (chunks_ > 0 && request_id != request_id_) {
        throw DecodeError("the server interleaved chunks of different responses");
    }
    if (chunk == 'A') {
        // The server gave up on this response; the abort body says why.
        parts_.clear();
        chunks_ = 0;
        request_id_ = request_id;
        message_ = body;
        return Result::Aborted;
    }
    if (chunks_ == 0) {
        parts_.clear();
    }
    request_id_ = request_id;
    ++chunks_;
    if (max_chunks_ != 0 && chunks_ > max_chunks_) {
        reset();
        throw UaError(status::BadResponseTooLarge, "the response exceeds the agreed chunk count");
    }
    const std::size_t total = parts_.size() + body.size();
    if (max_message_ != 0 && total > max_message_) {
        reset();
        throw UaError(status::BadResponseTooLarge, "the response exceeds the agreed message size");
    }
    if (chunk == 'F' && chunks_ == 1) {
        // A single-chunk message is used in place, without a copy.
        message_ = body;
        chunks_ = 0;
        return Result::Complete;
    }
    parts_.insert(parts_.end(), body.begin(), body.end());
    if (chunk == 'C') {
        return Result::Incomplete;
    }
    message_ = parts_;
    chunks_ = 0;
    return Result::Complete;
}

}  // namespace qevsdk::ua
