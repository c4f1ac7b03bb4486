// libFuzzer target: read arbitrary bytes as a sample buffer file, as a start after a crash
// does. The scan must stop at the first bad record without reading past the end, every record
// it accepts must decode, and a decoded record must encode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "korrin/sample_buffer.h"
#include "sample_record.h"

using namespace vantrel::korrin;

namespace {

void check_payload(std::string_view payload) {
    const auto rec = decode_record(payload);
    if (rec && encode_record(rec->seq, rec->rows) != payload) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check_payload(bytes);
    const SegmentScan scan = scan_segment(bytes);
    if (scan.good > bytes.size() || scan.seqs.size() != scan.rows.size()) {
        std::abort();
    }
    std::size_t at = record::kHeaderLen;
    for (std::size_t i = 0; i < scan.seqs.size(); ++i) {
        std::uint32_t len = 0;
        for (int k = 3; k >= 0; --k) {
            len = (len << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(k)]);
        }
        const std::string_view payload = bytes.substr(at + record::kRecordHead, len);
        const auto rec = decode_record(payload);
        // A record whose checksum holds but whose body does not decode would stop a replay.
        if (!rec || rec->seq != scan.seqs[i] || rec->rows.size() != scan.rows[i]) {
            std::abort();
        }
        check_payload(payload);
        at += record::kRecordHead + len;
    }
    if (!scan.seqs.empty() && at != scan.good) {
        std::abort();
    }
    return 0;
}
