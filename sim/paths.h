// The appliance paths that the simulated board takes over.
#pragma once

#include <memory>
#include <string>

#include "board.h"

namespace mfgsim {

// Where a path the program used leads on the board.
struct Target {
    std::string host;                 // file in the board directory; empty: the path itself
    std::shared_ptr<Partition> part;  // set for /dev/tqrd.<alias>
    bool pending = false;             // inside BOARD/pending
};

// A path the board takes over: a device node, the override or marker files,
// the pending directory or a file in it.
bool is_appliance_path(const char *path);
// "/pending" or "/pending/...".
bool is_pending_path(const char *path);
// Maps path onto the board; false with errno ENOENT for an unknown device alias.
[[nodiscard]] bool redirect(const Board &board, const char *path, Target &out);
// Bytes held by the regular files of BOARD/pending.
long long pending_bytes(const Board &board);

}  // namespace mfgsim
