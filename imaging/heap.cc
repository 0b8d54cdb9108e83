#include "imaging/heap.h"

#include <malloc.h>

namespace imaging {

void keepPictureMemoryInHeap() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace imaging
