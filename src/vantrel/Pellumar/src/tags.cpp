// load_tags_from_csv: the console's tag list, decoded as UTF-8 first, then GBK.
#include <exception>
#include <string>

#include "console_log.h"
#include "korrin/front_end.h"
#include "pellumar/pellumar.h"

namespace vantrel::pellumar {

using namespace detail;

bool Pellumar::load_tags_from_csv() {
    try {
        tags_list.clear();
        const auto loaded = korrin::load_tag_list(tag_csv_path, [](const std::string& encoding) {
            log_info("CSV file loaded with encoding: " + encoding);
        });
        tags_list = loaded.tags;
        log_info("Loaded " + std::to_string(tags_list.size()) + " tags from CSV file");
        return !tags_list.empty();
    } catch (const korrin::TagListDecodeError&) {
        log_error("Failed to decode CSV file: " + tag_csv_path);
        return false;
    } catch (const korrin::TagListColumnsError&) {
        log_error("CSV file missing required columns: FullTagName, Description");
        return false;
    } catch (const std::exception& e) {
        log_error(std::string("Error loading tags from CSV: ") + e.what());
        return false;
    }
}

}  // namespace vantrel::pellumar
