// How the demonstration prints one queued cycle.
#pragma once

#include <ostream>

#include <korrin/types.h>

namespace vantrel::korrin::demo {

// One line: [(tag, value, quality, timestamp), ...]
void print_cycle(std::ostream& out, const CycleResults& cycle);

}  // namespace vantrel::korrin::demo
