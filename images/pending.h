// Pending update files: made by callers, installed into system A.
#pragma once

#include <sys/types.h>

namespace mfg::images {

// Opens path read-only and maps the whole file (PROT_READ, MAP_SHARED). Returns
// the open descriptor with *map and *size set; -1 with *map null when the file
// does not open, is empty or cannot be mapped (*size is then -1 or the size
// found).
[[nodiscard]] int map_pending(const char *path, const void **map, off_t *size) noexcept;

}  // namespace mfg::images
