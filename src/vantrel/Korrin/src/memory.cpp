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

}  // namespace vantrel::korrin
