// What the TSDB writer and the store-and-forward path share inside the engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "korrin/types.h"

namespace vantrel::korrin {

// The write screening without its warning: false for a sample that is never written (a good
// NaN); a good floating value beyond the float range becomes an infinity in `value`.
bool screen_for_write(const Sample& sample, Value& value);

// The names a lookup still needs: neither cached nor refused, each once.
class MissingNames {
  public:
    MissingNames(const std::unordered_map<std::string, std::int64_t>& ids,
                 const std::unordered_set<std::string>& refused)
        : ids_(ids), refused_(refused) {}

    void add(const std::string& tag) {
        if (ids_.count(tag) == 0 && refused_.count(tag) == 0 && listed_.insert(tag).second) {
            names_.push_back(tag);
        }
    }
    const std::vector<std::string>& names() const { return names_; }

  private:
    const std::unordered_map<std::string, std::int64_t>& ids_;
    const std::unordered_set<std::string>& refused_;
    std::unordered_set<std::string_view> listed_;  // allocates only when a name is missing
    std::vector<std::string> names_;
};

}  // namespace vantrel::korrin
