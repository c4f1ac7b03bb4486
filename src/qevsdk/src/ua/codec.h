// Binary encoding primitives: a growing writer and a bounds-checked reader, plus the
// built-in composite types a client has to read or skip. Decoding never trusts a length
// or count from the wire: every read is checked against the bytes present, and nesting is
// capped, so hostile input gives a DecodeError rather than a crash or a huge allocation.
#pragma once

#include <array>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

// Scalars go to and from the wire by memcpy, which is right only where the host's byte order
// is the protocol's.
static_assert(std::endian::native == std::endian::little,
              "the OPC UA codec copies scalars as they are: little-endian hosts only");

namespace qevsdk::ua {

// The built-in types by the id that a Variant's encoding byte carries.
enum class BuiltinType : std::uint8_t {
    Boolean = 1,
    SByte = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    StatusCode = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24,
    DiagnosticInfo = 25,
};

// DateTime ticks (100 ns since 1601-01-01 UTC) at the Unix epoch.
inline constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;

// Nesting of Variants, DataValues and DiagnosticInfos deeper than this is refused.
inline constexpr int kMaxDepth = 16;

std::int64_t ticks_from_time(std::chrono::system_clock::time_point t);
// Nullopt for the "no time" value 0 (and anything before 1601); far dates are clamped to
// what system_clock can hold.
std::optional<std::chrono::system_clock::time_point> time_from_ticks(std::int64_t ticks);

class Writer {
  public:
    void clear() { buf_.clear(); }
    std::size_t size() const { return buf_.size(); }
    const std::uint8_t* data() const { return buf_.data(); }
    std::vector<std::uint8_t>& bytes() { return buf_; }
    const std::vector<std::uint8_t>& bytes() const { return buf_; }

    void u8(std::uint8_t v) { buf_.push_back(v); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void u16(std::uint16_t v) { put(&v, 2); }
    void u32(std::uint32_t v) { put(&v, 4); }
    void i32(std::int32_t v) { put(&v, 4); }
    void i64(std::int64_t v) { put(&v, 8); }
    void f64(double v) { put(&v, 8); }
    void raw(const void* p, std::size_t n) { put(p, n); }
    void string(std::string_view s);
    void null_string() { i32(-1); }
    void byte_string(const std::uint8_t* p, std::size_t n);
    void datetime(std::int64_t ticks) { i64(ticks); }
    void now() { i64(ticks_from_time(std::chrono::system_clock::now())); }
    void patch_u32(std::size_t offset, std::uint32_t v) {
        std::memcpy(buf_.data() + offset, &v, 4);
    }

  private:
    // resize and memcpy rather than insert: GCC 12 at -O2 and above reports a false
    // -Wstringop-overflow for a range insert into a vector that may still be empty.
    void put(const void* p, std::size_t n) {
        if (n == 0) {
            return;
        }
        const std::size_t at = buf_.size();
        buf_.resize(at + n);
        std::memcpy(buf_.data() + at, p, n);
    }
    std::vector<std::uint8_t> buf_;
};

class Reader {
  public:
    Reader() = default;
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    const std::uint8_t* position() const { return p_; }

    std::uint8_t u8() {
        need(1);
        return *p_++;
    }
    bool boolean() { return u8() != 0; }
    std::uint16_t u16() { return get<std::uint16_t>(); }
    std::uint32_t u32() { return get<std::uint32_t>(); }
    std::int32_t i32() { return get<std::int32_t>(); }
    std::uint64_t u64() { return get<std::uint64_t>(); }
    std::int64_t i64() { return get<std::int64_t>(); }
    float f32() { return get<float>(); }
    double f64() { return get<double>(); }

    void skip(std::size_t n) {
        need(n);
        p_ += n;
    }
    // A String or ByteString as a view into the message; null and empty both give "".
    std::string_view string_view();
    // Null gives nullopt.
    std::optional<std::string> string();
    void skip_string() { (void)string_view(); }
    // Array length: -1 (null) gives 0. Every element takes at least min_element_bytes, so a
    // count the remaining bytes cannot hold is refused before anything is allocated.
    std::size_t array_length(std::size_t min_element_bytes = 1);

  private:
    void need(std::size_t n) const {
        if (n > remaining()) {
            throw DecodeError("message ends early");
        }
    }
    template <typename T>
    T get() {
        need(sizeof(T));
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        return v;
    }
    const std::uint8_t* p_ = nullptr;
    const std::uint8_t* end_ = nullptr;
};

// An owned NodeId, for the few ids the client keeps (session ids, authentication tokens).
struct NodeId {
    enum class Kind : std::uint8_t { Numeric, String, Guid, Opaque };
    std::uint16_t ns = 0;
    Kind kind = Kind::Numeric;
    std::uint32_t numeric = 0;
    std::string text;  // String, or the bytes of an Opaque id
    std::array<std::uint8_t, 16> guid{};

    bool operator==(const NodeId&) const = default;
};

// Smallest form for numeric ids.
void encode_numeric_node_id(Writer& w, std::uint16_t ns, std::uint32_t id);
void encode_node_id(Writer& w, const NodeId& id);
// Accepts every form, and the ExpandedNodeId flags (whose extra fields are skipped).
NodeId decode_node_id(Reader& r);
void skip_node_id(Reader& r);
// A namespace-0 numeric id, as every message type id is; anything else gives nullopt.
std::optional<std::uint32_t> decode_type_id(Reader& r);

void skip_localized_text(Reader& r);
void skip_qualified_name(Reader& r);
void skip_diagnostic_info(Reader& r, int depth = 0);
void skip_extension_object(Reader& r);
// What follows a DataValue's value, given its encoding mask: its status into `status`, its
// times skipped.
void skip_data_value_tail(Reader& r, std::uint8_t mask, std::uint32_t& status);
void skip_variant(Reader& r, int depth = 0);

// A Variant as the engine wants it: a number for scalar numeric and Boolean values,
// nullopt for everything else (which is skipped).
std::optional<double> decode_variant_number(Reader& r, int depth = 0);

struct DataValue {
    std::optional<double> number;
    bool has_value = false;
    std::uint32_t status = status::Good;
    std::int64_t source_ticks = 0;
    std::int64_t server_ticks = 0;
};
void decode_data_value(Reader& r, DataValue& out, int depth = 0);

}  // namespace qevsdk::ua
