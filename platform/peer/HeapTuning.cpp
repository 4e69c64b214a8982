#include "platform/peer/HeapTuning.h"

#include <malloc.h>

namespace glasswing::peer {

void keepLargeBuffersInHeap()
{
    // Frames go up to the send limit (32 MiB); buffers of up to twice that come from the heap, and
    // the heap is only trimmed back once a quarter of a GiB lies free at its top.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
}

} // namespace glasswing::peer
