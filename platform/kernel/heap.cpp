// The process heap's settings, made once by the process entry.
#include <malloc.h>

#include "qel/kernel.h"

namespace qel {

void ConfigureProcessHeap() {
  // No fast bins. glibc keeps small freed blocks unmerged in fast bins and
  // merges them all in one pass at the next large allocation. Freeing the
  // DOM of a large workspace (a million small libxml2 blocks) then costs a
  // second walk over all of that memory, cold by then: at 100,000
  // controllers that pass took 15 to 20% of reading the workspace and
  // building the description. Without fast bins a block is merged while it
  // is freed and still in cache; the per-thread cache in front of the bins
  // still serves the short-lived small blocks that make up most allocations.
  (void)mallopt(M_MXFAST, 0);
}

}  // namespace qel
