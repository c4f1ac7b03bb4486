// The byte stream under the secure channel. Every call takes a deadline, so that a silent
// or vanished server never holds a caller longer than the caller allows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qevsdk::ua {

using Clock = std::chrono::steady_clock;

class Transport {
  public:
    virtual ~Transport() = default;
    // Sends all bytes or throws UaError (BadTimeout, BadConnectionClosed).
    virtual void send(const std::uint8_t* data, std::size_t size, Clock::time_point deadline) = 0;
    // Receives at least one byte, at most `size`; throws UaError on timeout or closed stream.
    virtual std::size_t receive(std::uint8_t* data, std::size_t size,
                                Clock::time_point deadline) = 0;
    // As receive(), but 0 instead of BadTimeout when nothing came by the deadline: a look for
    // responses that are not there yet is routine, and a thrown timeout costs microseconds.
    virtual std::size_t receive_some(std::uint8_t* data, std::size_t size,
                                     Clock::time_point deadline);
    // Idempotent; never throws.
    virtual void close() = 0;
};

// A TCP connection; throws UaError(BadNotConnected) with a readable reason when the host
// cannot be resolved or nobody answers before the deadline.
std::unique_ptr<Transport> tcp_connect(const std::string& host, std::uint16_t port,
                                       Clock::time_point deadline);

}  // namespace qevsdk::ua
