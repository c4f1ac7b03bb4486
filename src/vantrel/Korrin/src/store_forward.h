// What the TSDB writer and the store-and-forward path share inside the engine.
#pragma once

#include "korrin/types.h"

namespace vantrel::korrin {

// The write screening without its warning: false for a sample that is never written (a good
// NaN); a good floating value beyond the float range becomes an infinity in `value`.
bool screen_for_write(const Sample& sample, Value& value);

}  // namespace vantrel::korrin
