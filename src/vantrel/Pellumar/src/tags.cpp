// load_tags_from_csv: the console's tag list, decoded as UTF-8 first, then GBK.
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "common/shown_text.h"
#include "console_log.h"
#include "korrin/tag_list.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

bool Pellumar::load_tags_from_csv() {
    try {
        tags_.clear();
        tag_lines_.clear();
        tags_changed();
        tags_left_out_ = 0;
        auto loaded =
            korrin::load_tag_list(settings_.opc.tag_csv_path, [](const std::string& encoding) {
                log_info("CSV file loaded with encoding: " + encoding);
            });
        tags_.reserve(loaded.tags.size());
        tag_lines_.reserve(loaded.tags.size());
        // One name the database cannot take must not keep a plant's other tags from
        // being registered and collected: it is left out, and the log says where it is.
        for (std::size_t i = 0; i < loaded.tags.size(); ++i) {
            const auto& name = loaded.tags[i].first;
            if (const auto problem = korrin::tag_name_problem(name)) {
                log_error("Skipping tag " + common::shown_text(name) + " on CSV line " +
                          std::to_string(loaded.lines[i]) + ": " + *problem);
                ++tags_left_out_;
                continue;
            }
            tags_.push_back(std::move(loaded.tags[i]));
            tag_lines_.push_back(loaded.lines[i]);
        }
        for (const auto& duplicate : korrin::duplicate_tags(tags_, tag_lines_)) {
            log_warning(korrin::duplicate_tag_warning(duplicate));
        }
        tags_changed();
        log_info("Loaded " + std::to_string(tags_.size()) + " tags from CSV file");
        return !tags_.empty();
    } catch (const korrin::TagListDecodeError& e) {
        log_error("Failed to decode CSV file: " + settings_.opc.tag_csv_path + " (" + e.detail() +
                  ")");
        return false;
    } catch (const korrin::TagListColumnsError& e) {
        log_error("CSV file missing required columns: FullTagName, Description (header found: " +
                  e.detail() + ")");
        return false;
    } catch (const std::exception& e) {
        log_error(std::string("Error loading tags from CSV: ") + e.what());
        return false;
    }
}

}  // namespace vantrel::pellumar
