#include "korrin/memory.h"

#include <cstdlib>  // defines __GLIBC__ where it applies

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vantrel::korrin {

void release_free_memory() noexcept {
#if defined(__GLIBC__)
    // glibc keeps freed pages of every thread's arena; other allocators return them themselves
    // or offer nothing portable.
    ::malloc_trim(0);
#endif
}

void use_one_heap() noexcept {
#if defined(__GLIBC__)
    ::mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace vantrel::korrin
