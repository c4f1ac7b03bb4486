// The buffer file's records: encoding, decoding and the scan that finds a segment's good
// prefix. Free of I/O and logging, so that the fuzz target can take it alone.
#include <algorithm>
#include <bit>
#include <variant>

#include "korrin/sample_buffer.h"
#include "sample_record.h"

namespace vantrel::korrin {

using namespace record;

std::string encode_record(std::int64_t seq, std::span<const BufferedRow> rows) {
    std::string out;
    out.reserve(12 + rows.size() * 48);
    put<std::int64_t>(out, seq);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(rows.size()));
    for (const BufferedRow& row : rows) {
        put<std::int64_t>(
            out, std::chrono::duration_cast<std::chrono::microseconds>(row.time.time_since_epoch())
                     .count());
        const std::size_t tag_len = std::min<std::size_t>(row.tag.size(), 0xFFFF);
        put<std::uint16_t>(out, static_cast<std::uint16_t>(tag_len));
        out.append(row.tag, 0, tag_len);
        const std::size_t q_len = std::min<std::size_t>(row.quality.size(), 0xFFFF);
        put<std::uint16_t>(out, static_cast<std::uint16_t>(q_len));
        out.append(row.quality, 0, q_len);
        out += static_cast<char>(row.value.index());
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, bool>) {
                    out += static_cast<char>(v ? 1 : 0);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    put<std::int64_t>(out, v);
                } else if constexpr (std::is_same_v<T, double>) {
                    put<std::uint64_t>(out, std::bit_cast<std::uint64_t>(v));
                } else if constexpr (std::is_same_v<T, std::string>) {
                    put<std::uint32_t>(out, static_cast<std::uint32_t>(v.size()));
                    out += v;
                }
            },
            row.value);
    }
    return out;
}

std::optional<BufferedRecord> decode_record(std::string_view payload) {
    Reader in(payload);
    BufferedRecord rec;
    std::uint32_t count = 0;
    if (!in.get(rec.seq) || !in.get(count)) {
        return std::nullopt;
    }
    // Each row takes at least 14 bytes: a count beyond that is a lie, not an allocation.
    if (count > in.left() / 14) {
        return std::nullopt;
    }
    rec.rows.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        BufferedRow row;
        std::int64_t micros = 0;
        std::uint16_t tag_len = 0;
        std::uint16_t q_len = 0;
        std::uint8_t kind = 0;
        if (!in.get(micros) || !in.get(tag_len) || !in.bytes(tag_len, row.tag) || !in.get(q_len) ||
            !in.bytes(q_len, row.quality) || !in.get(kind)) {
            return std::nullopt;
        }
        // Beyond what the clock's nanoseconds hold (about the year 2262): not a time we wrote.
        constexpr std::int64_t kMaxMicros = std::int64_t{9'000'000'000'000'000};
        if (micros > kMaxMicros || micros < -kMaxMicros) {
            return std::nullopt;
        }
        row.time = TimePoint(std::chrono::microseconds(micros));
        switch (kind) {
            case 0:
                row.value = std::monostate{};
                break;
            case 1: {
                std::uint8_t b = 0;
                if (!in.get(b) || b > 1) {
                    return std::nullopt;
                }
                row.value = b == 1;
                break;
            }
            case 2: {
                std::int64_t v = 0;
                if (!in.get(v)) {
                    return std::nullopt;
                }
                row.value = v;
                break;
            }
            case 3: {
                std::uint64_t v = 0;
                if (!in.get(v)) {
                    return std::nullopt;
                }
                row.value = std::bit_cast<double>(v);
                break;
            }
            case 4: {
                std::uint32_t len = 0;
                std::string text;
                if (!in.get(len) || !in.bytes(len, text)) {
                    return std::nullopt;
                }
                row.value = std::move(text);
                break;
            }
            default:
                return std::nullopt;
        }
        rec.rows.push_back(std::move(row));
    }
    if (!in.done()) {
        return std::nullopt;
    }
    return rec;
}

SegmentScan scan_segment(std::string_view bytes) {
    SegmentScan scan;
    if (bytes.size() < kHeaderLen || bytes.substr(0, kMagic.size()) != kMagic) {
        return scan;
    }
    scan.writer.assign(bytes.substr(kMagic.size(), kWriterLen));
    if (!std::all_of(scan.writer.begin(), scan.writer.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
        scan.writer.clear();
        return scan;
    }
    scan.header_ok = true;
    std::size_t at = kHeaderLen;
    scan.good = at;
    std::int64_t last = 0;
    while (bytes.size() - at >= kRecordHead) {
        Reader head(bytes.substr(at, kRecordHead));
        std::uint32_t len = 0;
        std::uint32_t crc = 0;
        head.get(len);
        head.get(crc);
        if (len > kMaxPayload || bytes.size() - at - kRecordHead < len) {
            break;
        }
        const std::string_view payload = bytes.substr(at + kRecordHead, len);
        if (crc32(payload) != crc) {
            break;
        }
        // Fully decoded, not only checksummed: a record the replay cannot read would hold up
        // every record behind it.
        const auto rec = decode_record(payload);
        // Sequence numbers only grow: one that does not is not ours to trust.
        if (!rec || rec->seq <= last) {
            break;
        }
        const std::int64_t seq = rec->seq;
        const auto rows = static_cast<std::uint32_t>(rec->rows.size());
        last = seq;
        scan.seqs.push_back(seq);
        scan.rows.push_back(rows);
        at += kRecordHead + len;
        scan.good = at;
    }
    return scan;
}

}  // namespace vantrel::korrin
