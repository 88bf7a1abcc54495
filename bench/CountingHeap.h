// The heap of a benchmark program, counted: CountingHeap.cpp replaces the global operator new
// and delete, so every allocation of a program linked with it is counted as the program asked
// for it (the allocator's own overhead is not included).
#pragma once

namespace kelda::bench {

long long LiveHeapBytes();
long long LiveHeapBlocks();
// The most live bytes since the last ResetHeapPeak (or the start).
long long PeakHeapBytes();
void ResetHeapPeak();

}  // namespace kelda::bench
