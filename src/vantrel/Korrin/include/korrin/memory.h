// Handing memory the process freed back to the system.
#pragma once

namespace vantrel::korrin {

// Returns freed heap pages to the system, so that the peak of a one-off step (registering a
// plant's tag list) does not stay counted as resident for the rest of a run. Does nothing where
// the C library offers no way to do it.
void release_free_memory() noexcept;

}  // namespace vantrel::korrin
