// load_tags_from_csv: the console's tag list, decoded as UTF-8 first, then GBK.
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "common/csv.h"
#include "common/text_decode.h"
#include "console_log.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

namespace {

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open '" + path + "': " + std::strerror(errno));
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw std::runtime_error("cannot read '" + path + "': " + std::strerror(errno));
    }
    return bytes;
}

std::string trim(const std::string& text) {
    constexpr const char* kBlanks = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string encoding_label(const common::DecodedText& decoded) {
    if (decoded.encoding == common::TextEncoding::utf8 && decoded.bom_removed) {
        return "utf-8-sig";
    }
    return std::string(common::encoding_name(decoded.encoding));
}

}  // namespace

bool Pellumar::load_tags_from_csv() {
    try {
        tags_list.clear();
        const auto bytes = read_bytes(tag_csv_path);
        common::DecodedText decoded;
        try {
            decoded = common::decode_text(bytes);
        } catch (const common::DecodeError&) {
            log_error("Failed to decode CSV file: " + tag_csv_path);
            return false;
        }
        log_info("CSV file loaded with encoding: " + encoding_label(decoded));

        const auto table = common::parse_csv(decoded.text);
        if (!table.has_column("FullTagName") || !table.has_column("Description")) {
            log_error("CSV file missing required columns: FullTagName, Description");
            return false;
        }
        for (const auto& row : table.rows) {
            auto name = trim(row.at("FullTagName"));
            auto description = trim(row.at("Description"));
            if (!name.empty()) {
                tags_list.emplace_back(std::move(name), std::move(description));
            }
        }
        log_info("Loaded " + std::to_string(tags_list.size()) + " tags from CSV file");
        return !tags_list.empty();
    } catch (const std::exception& e) {
        log_error(std::string("Error loading tags from CSV: ") + e.what());
        return false;
    }
}

}  // namespace vantrel::pellumar
