#include <malloc.h>

#include "platform.h"

namespace {

// Two arenas: the main thread's and one the service threads share; their allocations are small
// and short (requests, packets), so contention stays low while freed memory is found again.
constexpr int HEAP_ARENAS = 2;

}  // namespace

void PLAT_LimitHeapArenas()
{
    mallopt(M_ARENA_MAX, HEAP_ARENAS);
}

void PLAT_ReleaseFreeHeap()
{
    malloc_trim(0);
}
