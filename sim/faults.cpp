// Fault rules: which interposed calls fail, and how.
#include <fnmatch.h>

#include "board.h"

namespace mfgsim {

const Fault *Board::fault(Op op, const char *path) {
    const Fault *hit = nullptr;
    for (auto &f : faults) {
        if (f.op != op || ::fnmatch(f.glob.c_str(), path ? path : "", 0) != 0) continue;
        ++f.hits;
        if (!hit && f.hits >= f.nth && (f.count == 0 || f.hits - f.nth < f.count)) hit = &f;
    }
    return hit;
}

}  // namespace mfgsim
