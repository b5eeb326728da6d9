#pragma once
/// Giving freed memory back to the system after large, short-lived work.

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillon {

/// When destroyed, hands the C allocator's free memory back to the system.
/// Checking a large layout allocates and frees hundreds of megabytes of
/// small objects; glibc keeps freed memory inside its heap, and in a host
/// that checks again and again the heap then grows with every check.
class ReleaseFreedMemory {
  public:
    ReleaseFreedMemory() = default;
    ReleaseFreedMemory(const ReleaseFreedMemory&) = delete;
    ReleaseFreedMemory& operator=(const ReleaseFreedMemory&) = delete;
    ~ReleaseFreedMemory() {
#if defined(__GLIBC__)
        malloc_trim(0);
#endif
    }
};

} // namespace quillon
