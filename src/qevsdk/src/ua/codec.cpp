// Binary encoding primitives and the composite built-in types.
#include "codec.h"

#include <limits>

namespace qevsdk::ua {

namespace {

// system_clock counts nanoseconds in 64 bits: keep within about +-285 years of 1970.
constexpr std::int64_t kMaxMicros = 9'000'000'000'000'000LL;

void check_depth(int depth) {
    if (depth > kMaxDepth) {
        throw DecodeError("values nested too deeply");
    }
}

using T = BuiltinType;

// The id from a Variant's encoding byte, refused unless it names a built-in type.
BuiltinType builtin_type(int id) {
    if (id < static_cast<int>(T::Boolean) || id > static_cast<int>(T::DiagnosticInfo)) {
        throw DecodeError("unknown built-in type " + std::to_string(id));
    }
    return static_cast<BuiltinType>(id);
}

// Fewest bytes a value of a built-in type takes on the wire.
std::size_t min_size(BuiltinType type) {
    switch (type) {
        case T::Boolean:
        case T::SByte:
        case T::Byte:
        case T::LocalizedText:
        case T::DataValue:
        case T::Variant:
        case T::DiagnosticInfo:
            return 1;
        case T::Int16:
        case T::UInt16:
        case T::NodeId:
        case T::ExpandedNodeId:
            return 2;
        case T::ExtensionObject:
            return 3;
        case T::Int32:
        case T::UInt32:
        case T::Float:
        case T::StatusCode:
        case T::String:
        case T::ByteString:
        case T::XmlElement:
            return 4;
        case T::QualifiedName:
            return 6;
        case T::Int64:
        case T::UInt64:
        case T::Double:
        case T::DateTime:
            return 8;
        case T::Guid:
            return 16;
    }
    throw DecodeError("unknown built-in type");
}

void skip_scalar(Reader& r, BuiltinType type, int depth) {
    switch (type) {
        case T::String:
        case T::ByteString:
        case T::XmlElement:
            r.skip_string();
            break;
        case T::NodeId:
        case T::ExpandedNodeId:
            skip_node_id(r);
            break;
        case T::QualifiedName:
            skip_qualified_name(r);
            break;
        case T::LocalizedText:
            skip_localized_text(r);
            break;
        case T::ExtensionObject:
            skip_extension_object(r);
            break;
        case T::DataValue: {
            DataValue ignored;
            decode_data_value(r, ignored, depth + 1);
            break;
        }
        case T::Variant:
            skip_variant(r, depth + 1);
            break;
        case T::DiagnosticInfo:
            skip_diagnostic_info(r, depth + 1);
            break;
        default:
            r.skip(min_size(type));
            break;
    }
}

// Nullopt for a type that is not a number (the value is then still unread).
std::optional<double> scalar_number(Reader& r, BuiltinType type) {
    switch (type) {
        case T::Boolean:
            return r.boolean() ? 1.0 : 0.0;
        case T::SByte:
            return static_cast<double>(static_cast<std::int8_t>(r.u8()));
        case T::Byte:
            return static_cast<double>(r.u8());
        case T::Int16:
            return static_cast<double>(static_cast<std::int16_t>(r.u16()));
        case T::UInt16:
            return static_cast<double>(r.u16());
        case T::Int32:
            return static_cast<double>(r.i32());
        case T::UInt32:
            return static_cast<double>(r.u32());
        case T::Int64:
            return static_cast<double>(r.i64());
        case T::UInt64:
            return static_cast<double>(r.u64());
        case T::Float:
            return static_cast<double>(r.f32());
        case T::Double:
            return r.f64();
        default:
            return std::nullopt;
    }
}

// Reads the Variant's encoding byte and, for arrays, skips the whole array. Returns the
// scalar's type, or nullopt when nothing (or an array) was there.
std::optional<BuiltinType> variant_head(Reader& r, int depth) {
    check_depth(depth);
    const std::uint8_t mask = r.u8();
    const int id = mask & 0x3F;
    const bool array = (mask & 0x80) != 0;
    const bool dims = (mask & 0x40) != 0;
    if (id == 0) {
        if (array || dims) {
            throw DecodeError("array of the null type");
        }
        return std::nullopt;
    }
    const BuiltinType type = builtin_type(id);
    const std::size_t element = min_size(type);
    if (!array) {
        if (dims) {
            throw DecodeError("array dimensions on a scalar");
        }
        return type;
    }
    const std::size_t n = r.array_length(element);
    for (std::size_t i = 0; i < n; ++i) {
        skip_scalar(r, type, depth);
    }
    if (dims) {
        r.skip(r.array_length(4) * 4);
    }
    return std::nullopt;
}

}  // namespace

std::int64_t ticks_from_time(std::chrono::system_clock::time_point t) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
    const std::int64_t ticks = us.count() * 10 + kUnixEpochTicks;
    return ticks < 0 ? 0 : ticks;
}

std::optional<std::chrono::system_clock::time_point> time_from_ticks(std::int64_t ticks) {
    if (ticks <= 0) {
        return std::nullopt;
    }
    std::int64_t micros = (ticks - kUnixEpochTicks) / 10;
    if (micros > kMaxMicros) {
        micros = kMaxMicros;
    } else if (micros < -kMaxMicros) {
        micros = -kMaxMicros;
    }
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(micros)));
}

void Writer::string(std::string_view s) {
    i32(static_cast<std::int32_t>(s.size()));
    put(s.data(), s.size());
}

void Writer::byte_string(const std::uint8_t* p, std::size_t n) {
    i32(static_cast<std::int32_t>(n));
    put(p, n);
}

std::string_view Reader::string_view() {
    const std::int32_t n = i32();
    if (n < 0) {
        if (n != -1) {
            throw DecodeError("negative string length");
        }
        return {};
    }
    need(static_cast<std::size_t>(n));
    std::string_view s(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(n));
    p_ += n;
    return s;
}

std::optional<std::string> Reader::string() {
    const std::uint8_t* before = p_;
    std::string_view s = string_view();
    if (s.empty() && std::memcmp(before, "\xff\xff\xff\xff", 4) == 0) {
        return std::nullopt;
    }
    return std::string(s);
}

std::size_t Reader::array_length(std::size_t min_element_bytes) {
    const std::int32_t n = i32();
    if (n < 0) {
        if (n != -1) {
            throw DecodeError("negative array length");
        }
        return 0;
    }
    const auto count = static_cast<std::size_t>(n);
    if (min_element_bytes > 0 && count > remaining() / min_element_bytes) {
        throw DecodeError("array length " + std::to_string(count) + " exceeds the message");
    }
    return count;
}

void encode_numeric_node_id(Writer& w, std::uint16_t ns, std::uint32_t id) {
    if (ns == 0 && id <= 0xFF) {
        w.u8(0x00);
        w.u8(static_cast<std::uint8_t>(id));
    } else if (ns <= 0xFF && id <= 0xFFFF) {
        w.u8(0x01);
        w.u8(static_cast<std::uint8_t>(ns));
        w.u16(static_cast<std::uint16_t>(id));
    } else {
        w.u8(0x02);
        w.u16(ns);
        w.u32(id);
    }
}

void encode_node_id(Writer& w, const NodeId& id) {
    switch (id.kind) {
        case NodeId::Kind::Numeric:
            encode_numeric_node_id(w, id.ns, id.numeric);
            break;
        case NodeId::Kind::String:
            w.u8(0x03);
            w.u16(id.ns);
            w.string(id.text);
            break;
        case NodeId::Kind::Guid:
            w.u8(0x04);
            w.u16(id.ns);
            w.raw(id.guid.data(), id.guid.size());
            break;
        case NodeId::Kind::Opaque:
            w.u8(0x05);
            w.u16(id.ns);
            w.byte_string(reinterpret_cast<const std::uint8_t*>(id.text.data()), id.text.size());
            break;
    }
}

NodeId decode_node_id(Reader& r) {
    const std::uint8_t mask = r.u8();
    NodeId id;
    switch (mask & 0x3F) {
        case 0x00:
            id.numeric = r.u8();
            break;
        case 0x01:
            id.ns = r.u8();
            id.numeric = r.u16();
            break;
        case 0x02:
            id.ns = r.u16();
            id.numeric = r.u32();
            break;
        case 0x03:
            id.ns = r.u16();
            id.kind = NodeId::Kind::String;
            id.text = std::string(r.string_view());
            break;
        case 0x04: {
            id.ns = r.u16();
            id.kind = NodeId::Kind::Guid;
            for (auto& b : id.guid) {
                b = r.u8();
            }
            break;
        }
        case 0x05:
            id.ns = r.u16();
            id.kind = NodeId::Kind::Opaque;
            id.text = std::string(r.string_view());
            break;
        default:
            throw DecodeError("invalid NodeId encoding");
    }
    if (mask & 0x80) {
        r.skip_string();
    }
    if (mask & 0x40) {
        r.skip(4);
    }
    return id;
}

void skip_node_id(Reader& r) {
    const std::uint8_t mask = r.u8();
    switch (mask & 0x3F) {
        case 0x00:
            r.skip(1);
            break;
        case 0x01:
            r.skip(3);
            break;
        case 0x02:
            r.skip(6);
            break;
        case 0x03:
        case 0x05:
            r.skip(2);
            r.skip_string();
            break;
        case 0x04:
            r.skip(18);
            break;
        default:
            throw DecodeError("invalid NodeId encoding");
    }
    if (mask & 0x80) {
        r.skip_string();
    }
    if (mask & 0x40) {
        r.skip(4);
    }
}

std::optional<std::uint32_t> decode_type_id(Reader& r) {
    const std::uint8_t mask = r.u8();
    switch (mask) {
        case 0x00:
            return r.u8();
        case 0x01: {
            const std::uint8_t ns = r.u8();
            const std::uint16_t id = r.u16();
            return ns == 0 ? std::optional<std::uint32_t>(id) : std::nullopt;
        }
        case 0x02: {
            const std::uint16_t ns = r.u16();
            const std::uint32_t id = r.u32();
            return ns == 0 ? std::optional<std::uint32_t>(id) : std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

void skip_localized_text(Reader& r) {
    const std::uint8_t mask = r.u8();
    if (mask & 0x01) {
        r.skip_string();
    }
    if (mask & 0x02) {
        r.skip_string();
    }
}

void skip_qualified_name(Reader& r) {
    r.skip(2);
    r.skip_string();
}

void skip_diagnostic_info(Reader& r, int depth) {
    check_depth(depth);
    const std::uint8_t mask = r.u8();
    // Locale is on the wire before LocalizedText although its bit is higher.
    if (mask & 0x01)
        r.skip(4);
    if (mask & 0x02)
        r.skip(4);
    if (mask & 0x08)
        r.skip(4);
    if (mask & 0x04)
        r.skip(4);
    if (mask & 0x10)
        r.skip_string();
    if (mask & 0x20)
        r.skip(4);
    if (mask & 0x40)
        skip_diagnostic_info(r, depth + 1);
}

// Source and server times are on the wire before their picoseconds although their bits are
// higher.
void skip_data_value_tail(Reader& r, std::uint8_t mask, std::uint32_t& status) {
    if (mask & 0x02)
        status = r.u32();
    if (mask & 0x04)
        r.skip(8);
    if (mask & 0x10)
        r.skip(2);
    if (mask & 0x08)
        r.skip(8);
    if (mask & 0x20)
        r.skip(2);
}

void skip_extension_object(Reader& r) {
    skip_node_id(r);
    const std::uint8_t encoding = r.u8();
    if (encoding == 0) {
        return;
    }
    if (encoding > 2) {
        throw DecodeError("invalid ExtensionObject encoding");
    }
    const std::int32_t length = r.i32();
    if (length == -1) {
        return;  // some old servers send this for an empty body
    }
    if (length < 0) {
        throw DecodeError("negative ExtensionObject length");
    }
    r.skip(static_cast<std::size_t>(length));
}

void skip_variant(Reader& r, int depth) {
    if (const auto type = variant_head(r, depth)) {
        skip_scalar(r, *type, depth);
    }
}

std::optional<double> decode_variant_number(Reader& r, int depth) {
    const auto type = variant_head(r, depth);
    if (!type) {
        return std::nullopt;
    }
    if (auto number = scalar_number(r, *type)) {
        return number;
    }
    skip_scalar(r, *type, depth);
    return std::nullopt;
}

void decode_data_value(Reader& r, DataValue& out, int depth) {
    check_depth(depth);
    const std::uint8_t mask = r.u8();
    out = DataValue{};
    if (mask & 0x01) {
        out.has_value = true;
        out.number = decode_variant_number(r, depth + 1);
    }
    if (mask & 0x02)
        out.status = r.u32();
    if (mask & 0x04)
        out.source_ticks = r.i64();
    if (mask & 0x10)
        r.skip(2);
    if (mask & 0x08)
        out.server_ticks = r.i64();
    if (mask & 0x20)
        r.skip(2);
}

}  // namespace qevsdk::ua
