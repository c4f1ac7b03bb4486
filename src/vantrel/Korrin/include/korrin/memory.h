// Handing memory the process freed back to the system.
#pragma once

namespace vantrel::korrin {

// Returns freed heap pages to the system, so that the peak of a one-off step (registering a
// plant's tag list) does not stay counted as resident for the rest of a run. Does nothing where
// the C library offers no way to do it.
void release_free_memory() noexcept;

// Has every thread take its memory from one heap. For a process whose threads seldom allocate
// at the same moment (the console): one heap per thread would each keep its own free pages and
// slack, and how many there are would depend on which thread happened to start first. Called
// before any thread starts; does nothing where the C library offers no way to do it.
void use_one_heap() noexcept;

}  // namespace vantrel::korrin
