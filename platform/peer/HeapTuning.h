#pragma once

namespace glasswing::peer {

// Keeps large freed buffers in the heap for reuse. Every frame passes through several buffers of
// its own size (WebSocket framing, TLS records, socket queues); with glibc's defaults each of
// them is a fresh mmap whose pages fault in one by one, which cost about nine tenths of the CPU
// time of sending an 8 MiB frame to one phone (86 ms against 10 ms; see bench/fanout). Call once,
// early in main, before any thread starts.
void keepLargeBuffersInHeap();

} // namespace glasswing::peer
