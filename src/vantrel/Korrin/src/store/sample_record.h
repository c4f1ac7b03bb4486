// The buffer file's record format, shared by the buffer and its fuzz target: constants, the
// checksum and little-endian packing. See sample_buffer.cpp for the layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace vantrel::korrin::record {

inline constexpr std::string_view kMagic = "VNTBUF01";
inline constexpr std::size_t kWriterLen = 32;
inline constexpr std::size_t kHeaderLen = kMagic.size() + kWriterLen;
inline constexpr std::size_t kRecordHead = 8;
// A record longer than this is taken for garbage: no cycle comes near it.
inline constexpr std::uint32_t kMaxPayload = 256u << 20;
inline constexpr const char* kSegmentSuffix = ".seg";

inline std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char ch : bytes) {
        c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFFu] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

template <class T>
inline void put(std::string& out, T v) {
    auto u = static_cast<std::make_unsigned_t<T>>(v);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out += static_cast<char>(u & 0xFFu);
        u = static_cast<std::make_unsigned_t<T>>(u >> 8);
    }
}

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}
    template <class T>
    bool get(T& v) {
        if (in_.size() < sizeof(T)) {
            return false;
        }
        std::make_unsigned_t<T> u = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            u = static_cast<std::make_unsigned_t<T>>(
                u | (static_cast<std::make_unsigned_t<T>>(static_cast<unsigned char>(in_[i]))
                     << (8 * i)));
        }
        v = static_cast<T>(u);
        in_.remove_prefix(sizeof(T));
        return true;
    }
    bool bytes(std::size_t n, std::string& out) {
        if (in_.size() < n) {
            return false;
        }
        out.assign(in_.substr(0, n));
        in_.remove_prefix(n);
        return true;
    }
    bool done() const { return in_.empty(); }
    std::size_t left() const { return in_.size(); }

  private:
    std::string_view in_;
};

}  // namespace vantrel::korrin::record
