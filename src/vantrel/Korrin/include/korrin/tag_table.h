// The tag list a collector reads, worked out once when the list is loaded: each name once, in
// the list's order, shared read-only by the front end, the collector thread and its writer. A
// cycle's samples stand in the table's order, so whoever keeps something per tag can keep it by
// position and needs a name only when the table is a new one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vantrel::korrin {

struct TagTable {
    std::vector<std::string> names;
    // Unique to this table within the process: a table made later, even from the same names,
    // has another, so that a kept position is never taken for one of a different list.
    std::uint64_t generation = 0;
};

using TagTableRef = std::shared_ptr<const TagTable>;
// Called once per cycle on the collector thread; returns the table to read (null: no tags).
using TagTableSupplier = std::function<TagTableRef()>;

// A table of `names` as given (the caller has removed repeats) with a new generation.
TagTableRef make_tag_table(std::vector<std::string> names);

}  // namespace vantrel::korrin
