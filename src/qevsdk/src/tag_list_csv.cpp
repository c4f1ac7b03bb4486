// The rules a tag list made from a browse follows: which variables it holds, the Description
// it gives them, and how its lines are written, shared by qev-browse and the desktop's dialog.
#include "qevsdk/ua_browse.h"

namespace qevsdk {

bool listed_by_default(const BrowsedVariable& v) {
    return v.collectable && nameable(v);
}

std::string tag_list_description(const BrowsedVariable& v) {
    if (!v.description.empty()) {
        return v.description;
    }
    return v.display_name.empty() ? v.browse_path : v.display_name;
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

std::string tag_list_csv_line(const BrowsedVariable& v) {
    return tag_list_csv_line(v, v.full_tag_name);
}

std::string tag_list_csv_line(const BrowsedVariable& v, const std::string& tag) {
    return csv_field(tag) + "," + csv_field(tag_list_description(v)) + "," +
           csv_field(v.data_type) + "," + csv_field(v.browse_path) + "\n";
}

}  // namespace qevsdk
