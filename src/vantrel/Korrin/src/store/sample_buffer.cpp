// The disk buffer: segment files of checksummed records. A segment is named after its first
// record's sequence number, so the oldest is dropped by removing one file, and a record is on
// the disk (fdatasync) before its cycle counts as done.
//
// Segment: "VNTBUF01", the writer name (32 hex digits), then records. Record: payload length
// (u32), CRC-32 of the payload (u32), payload. Payload: seq (i64), row count (u32), then per
// row: time in microseconds since 1970 (i64), tag (u16 length + bytes), quality (u16 length +
// bytes), value kind (u8) and value (bool: u8; integer and double: 8 bytes; text: u32 length +
// bytes). Every number is little-endian.
#include "korrin/sample_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "log.h"
#include "sample_record.h"

namespace vantrel::korrin {

using namespace record;

namespace {

std::string new_writer_name() {
    std::random_device rd;
    std::string out;
    static const char* hex = "0123456789abcdef";
    for (std::size_t i = 0; i < kWriterLen / 8; ++i) {
        std::uint32_t r = rd();
        for (int k = 0; k < 8; ++k) {
            out += hex[r & 0xFu];
            r >>= 4;
        }
    }
    return out;
}

std::string read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read the sample buffer file " + path.string());
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path) {
    throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

void write_all(int fd, std::string_view bytes, const std::filesystem::path& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("cannot write the sample buffer file", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// A new file's name lives in the directory: flushed too, or a power cut may lose the file.
void sync_dir(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string segment_name(std::int64_t first_seq) {
    std::string digits = std::to_string(first_seq);
    return std::string(20 - std::min<std::size_t>(20, digits.size()), '0') + digits +
           kSegmentSuffix;
}

}  // namespace

SampleBuffer::SampleBuffer(std::filesystem::path dir, std::uint64_t max_bytes)
    : dir_(std::move(dir)),
      max_bytes_(std::max<std::uint64_t>(max_bytes, 64 * 1024)),
      segment_bytes_(std::clamp<std::uint64_t>(max_bytes_ / 8, 16 * 1024, 64ull << 20)) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec) {
        throw std::runtime_error("cannot create the sample buffer folder " + dir_.string() + ": " +
                                 ec.message());
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        if (entry.is_regular_file() && entry.path().extension() == kSegmentSuffix) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        const std::string bytes = read_whole(path);
        const SegmentScan scan = scan_segment(bytes);
        if (!scan.header_ok || (!writer_.empty() && scan.writer != writer_)) {
            log().warn("Sample buffer: {} is not a buffer file of this collector; set aside as {}",
                       path.string(), path.string() + ".bad");
            std::filesystem::rename(path, path.string() + ".bad", ec);
            continue;
        }
        std::size_t first = 0;
        while (first < scan.seqs.size() && scan.seqs[first] <= last_seq_) {
            ++first;  // a record out of order across files is not trusted either
        }
        if (scan.good < bytes.size() || first > 0) {
            const std::uint64_t keep = first > 0 ? kHeaderLen : scan.good;
            log().warn(
                "Sample buffer: {} ends in a torn or corrupt record; cut at byte {} of {}, the "
                "last good record",
                path.string(), keep, bytes.size());
            std::filesystem::resize_file(path, keep, ec);
            if (ec) {
                throw std::runtime_error("cannot cut the sample buffer file " + path.string() +
                                         ": " + ec.message());
            }
            if (first > 0) {
                continue;
            }
        }
        writer_ = scan.writer;
        Segment seg;
        seg.path = path;
        seg.bytes = scan.good;
        std::uint64_t offset = kHeaderLen;
        for (std::size_t i = 0; i < scan.seqs.size(); ++i) {
            seg.seqs.push_back(scan.seqs[i]);
            seg.rows.push_back(scan.rows[i]);
            seg.offsets.push_back(offset);
            pending_rows_ += scan.rows[i];
            last_seq_ = scan.seqs[i];
            // Offsets come from the scan: the next record starts after this one's payload.
            Reader head(std::string_view(bytes).substr(offset, kRecordHead));
            std::uint32_t len = 0;
            head.get(len);
            offset += kRecordHead + len;
        }
        total_bytes_ += seg.bytes;
        segments_.push_back(std::move(seg));
    }
    if (writer_.empty()) {
        writer_ = new_writer_name();
    }
    while (segments_.size() > 1 && segments_.front().seqs.empty()) {
        remove_segment_front_();
    }
}

SampleBuffer::~SampleBuffer() {
    if (append_fd_ >= 0) {
        ::close(append_fd_);
    }
}

std::size_t SampleBuffer::pending_records() const noexcept {
    std::size_t n = 0;
    for (const auto& s : segments_) {
        n += s.seqs.size();
    }
    return n;
}

std::int64_t SampleBuffer::reserve_seq() {
    // Numbers follow the wall clock in microseconds, so that a collector started again with an
    // empty buffer (or after the folder was cleared) never reuses a number that the TSDB's
    // mark of this writer already covers.
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    last_seq_ = std::max(last_seq_ + 1, now);
    return last_seq_;
}

void SampleBuffer::open_segment_for_append_() {
    const bool need_new =
        segments_.empty() || segments_.back().bytes >= segment_bytes_ || append_fd_ < 0;
    if (!need_new) {
        return;
    }
    if (append_fd_ >= 0) {
        ::close(append_fd_);
        append_fd_ = -1;
    }
    if (!segments_.empty() && segments_.back().bytes < segment_bytes_) {
        const auto& path = segments_.back().path;
        append_fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (append_fd_ < 0) {
            fail("cannot open the sample buffer file", path);
        }
        return;
    }
    Segment seg;
    seg.path = dir_ / segment_name(last_seq_ + 1);
    append_fd_ =
        ::open(seg.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (append_fd_ < 0) {
        fail("cannot create the sample buffer file", seg.path);
    }
    std::string header(kMagic);
    header += writer_;
    write_all(append_fd_, header, seg.path);
    seg.bytes = header.size();
    total_bytes_ += seg.bytes;
    segments_.push_back(std::move(seg));
    sync_dir(dir_);
}

void SampleBuffer::append(std::span<const BufferedRow> rows, std::int64_t seq) {
    if (seq == 0 || seq < last_seq_) {
        seq = reserve_seq();  // a number handed out by reserve_seq() is taken as it is
    }
    last_seq_ = seq;
    const std::string payload = encode_record(seq, rows);
    std::string record;
    record.reserve(kRecordHead + payload.size());
    put<std::uint32_t>(record, static_cast<std::uint32_t>(payload.size()));
    put<std::uint32_t>(record, crc32(payload));
    record += payload;

    // Room for a new segment's header too, so the folder never grows past the limit.
    while (!segments_.empty() && total_bytes_ + record.size() + kHeaderLen > max_bytes_ &&
           (segments_.size() > 1 || !segments_.front().seqs.empty())) {
        drop_oldest_();
    }
    open_segment_for_append_();
    Segment& seg = segments_.back();
    write_all(append_fd_, record, seg.path);
    if (::fdatasync(append_fd_) != 0) {
        fail("cannot flush the sample buffer file", seg.path);
    }
    seg.seqs.push_back(seq);
    seg.rows.push_back(static_cast<std::uint32_t>(rows.size()));
    seg.offsets.push_back(seg.bytes);
    seg.bytes += record.size();
    total_bytes_ += record.size();
    pending_rows_ += rows.size();
}

void SampleBuffer::drop_oldest_() {
    Segment& seg = segments_.front();
    std::uint64_t rows = 0;
    for (const auto r : seg.rows) {
        rows += r;
    }
    if (rows > 0 || !seg.seqs.empty()) {
        if (dropped_ == 0) {
            dropped_since_ = std::chrono::system_clock::now();
        }
        dropped_ += rows;
    }
    pending_rows_ -= std::min(pending_rows_, rows);
    seg.seqs.clear();
    seg.rows.clear();
    seg.offsets.clear();
    remove_segment_front_();
}

void SampleBuffer::remove_segment_front_() {
    if (segments_.size() == 1 && append_fd_ >= 0) {
        ::close(append_fd_);
        append_fd_ = -1;
    }
    std::error_code ec;
    std::filesystem::remove(segments_.front().path, ec);
    total_bytes_ -= std::min(total_bytes_, segments_.front().bytes);
    segments_.pop_front();
}

std::vector<BufferedRecord> SampleBuffer::peek(std::size_t max_rows) {
    std::vector<BufferedRecord> out;
    std::size_t rows = 0;
    for (const Segment& seg : segments_) {
        if (seg.seqs.empty()) {
            continue;
        }
        std::ifstream in(seg.path, std::ios::binary);
        if (!in) {
            throw std::runtime_error("cannot read the sample buffer file " + seg.path.string());
        }
        for (std::size_t i = 0; i < seg.seqs.size(); ++i) {
            if (!out.empty() && rows + seg.rows[i] > max_rows) {
                return out;
            }
            in.seekg(static_cast<std::streamoff>(seg.offsets[i]));
            std::string head(kRecordHead, '\0');
            in.read(head.data(), static_cast<std::streamsize>(head.size()));
            Reader r(head);
            std::uint32_t len = 0;
            r.get(len);
            std::string payload(len, '\0');
            in.read(payload.data(), static_cast<std::streamsize>(len));
            auto rec = in ? decode_record(payload) : std::nullopt;
            if (!rec || rec->seq != seg.seqs[i]) {
                // Checked when the file was opened or written: the disk changed under us.
                throw std::runtime_error("the sample buffer file " + seg.path.string() +
                                         " changed on disk");
            }
            rows += rec->rows.size();
            out.push_back(std::move(*rec));
        }
        if (rows >= max_rows) {
            return out;
        }
    }
    return out;
}

void SampleBuffer::consume_through(std::int64_t seq) {
    while (!segments_.empty()) {
        Segment& seg = segments_.front();
        while (!seg.seqs.empty() && seg.seqs.front() <= seq) {
            pending_rows_ -= std::min<std::uint64_t>(pending_rows_, seg.rows.front());
            seg.seqs.pop_front();
            seg.rows.pop_front();
            seg.offsets.pop_front();
        }
        if (!seg.seqs.empty()) {
            return;
        }
        // A segment written to the end is removed; the one being appended to only once
        // everything in it is written, and the next record then starts a new file.
        remove_segment_front_();
    }
}

std::optional<SampleBuffer::Dropped> SampleBuffer::take_dropped() {
    if (dropped_ == 0) {
        return std::nullopt;
    }
    Dropped d{dropped_, dropped_since_};
    dropped_ = 0;
    return d;
}

}  // namespace vantrel::korrin
