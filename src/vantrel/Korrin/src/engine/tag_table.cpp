// Tag tables and their generations.
#include "korrin/tag_table.h"

#include <atomic>
#include <utility>

namespace vantrel::korrin {

TagTableRef make_tag_table(std::vector<std::string> names) {
    // Front ends and collectors on any thread make tables; each must still get its own number.
    static std::atomic<std::uint64_t> last_generation{0};
    auto table = std::make_shared<TagTable>();
    table->names = std::move(names);
    table->generation = ++last_generation;
    return table;
}

}  // namespace vantrel::korrin
