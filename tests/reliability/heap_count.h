// Heap blocks the process holds, counted at malloc and free. With the address
// sanitizer, whose allocator must stay in place, there is no count (always 0):
// its leak check at exit does that job.
#pragma once

namespace heapcount {

long live_blocks();

}  // namespace heapcount
