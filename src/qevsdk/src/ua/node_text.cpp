// Tag names as the engine gives them, turned into NodeIds on the wire.
#include "node_text.h"

namespace qevsdk::ua {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64_digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+' || c == '-')
        return 62;
    if (c == '/' || c == '_')
        return 63;
    return -1;
}

}  // namespace

std::optional<std::uint32_t> parse_numeric_id(std::string_view text) {
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFULL) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<std::array<std::uint8_t, 16>> parse_guid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return std::nullopt;
    }
    // Hex digits in text order: Data1 (8), Data2 (4), Data3 (4), Data4 (16).
    std::array<std::uint8_t, 16> text_order{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); i += 1) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            continue;
        }
        const int hi = hex_digit(text[i]);
        const int lo = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        text_order[n++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 1;
    }
    // Data1, Data2 and Data3 are little-endian integers on the wire; Data4 is raw bytes.
    std::array<std::uint8_t, 16> wire{};
    wire[0] = text_order[3];
    wire[1] = text_order[2];
    wire[2] = text_order[1];
    wire[3] = text_order[0];
    wire[4] = text_order[5];
    wire[5] = text_order[4];
    wire[6] = text_order[7];
    wire[7] = text_order[6];
    for (std::size_t i = 8; i < 16; ++i) {
        wire[i] = text_order[i];
    }
    return wire;
}

bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    while (!text.empty() && text.back() == '=') {
        text.remove_suffix(1);
    }
    if (text.size() % 4 == 1) {
        return false;
    }
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        const int d = base64_digit(c);
        if (d < 0) {
            return false;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

void encode_tag_node_id(Writer& w, int namespace_index, std::string_view tag_name,
                        std::vector<std::uint8_t>& scratch) {
    if (namespace_index < 0 || namespace_index > 0xFFFF) {
        w.u8(0x00);
        w.u8(0x00);
        return;
    }
    const auto ns = static_cast<std::uint16_t>(namespace_index);
    if (tag_name.size() >= 2 && tag_name[1] == '=') {
        const std::string_view rest = tag_name.substr(2);
        switch (tag_name[0]) {
            case 'i':
                if (auto id = parse_numeric_id(rest)) {
                    encode_numeric_node_id(w, ns, *id);
                    return;
                }
                break;
            case 's':
                if (!rest.empty()) {
                    w.u8(0x03);
                    w.u16(ns);
                    w.string(rest);
                    return;
                }
                break;
            case 'g':
                if (auto guid = parse_guid(rest)) {
                    w.u8(0x04);
                    w.u16(ns);
                    w.raw(guid->data(), guid->size());
                    return;
                }
                break;
            case 'b':
                if (!rest.empty() && decode_base64(rest, scratch)) {
                    w.u8(0x05);
                    w.u16(ns);
                    w.byte_string(scratch.data(), scratch.size());
                    return;
                }
                break;
            default:
                break;
        }
    }
    w.u8(0x03);
    w.u16(ns);
    w.string(tag_name);
}

}  // namespace qevsdk::ua
