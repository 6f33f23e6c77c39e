// Process-wide state of the simulator: the active board and the descriptors
// opened through the interposer.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "board.h"

namespace mfgsim {

// Marks the simulator's own work on this thread: every interposed entry point
// reached while it is held goes straight to the C library.
class Guard {
public:
    Guard() { ++depth_; }
    ~Guard() { --depth_; }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    static bool active() { return depth_ > 0; }

private:
    static thread_local int depth_ __attribute__((tls_model("initial-exec")));
};

// A descriptor opened through the interposer.
struct FdEntry {
    std::string path;                 // as the program named it
    std::shared_ptr<Partition> part;  // set for a device
    bool pending = false;             // a file in BOARD/pending
    int flags = 0;                    // open flags
};

// Serialises everything below; recursive so API calls may nest.
std::recursive_mutex &state_mutex();

// The active board: the one selected, else MFG_SIM_BOARD's (loaded when the
// simulator starts; a board that does not load stops the program). null if none.
std::shared_ptr<Board> active_board();
// Makes dir (absolute or relative to the working directory) the active board.
// false with errno and a message; when no board is active, the refusal is
// remembered (board_refused).
[[nodiscard]] bool select_board(const char *dir, std::string &error);
// A board was asked for and refused, why says which and why. While no board
// is active, a call on an appliance path then stops the program.
void board_refused(const std::string &why);
// Stops the program (message, exit status MFGSIM_NO_BOARD_STATUS) when a
// board was refused, none is active and path is one of the appliance's.
void stop_if_refused(const char *path);

// Cheap test, without locking, whether fd may be in the table.
bool maybe_tracked(int fd);
std::shared_ptr<FdEntry> tracked(int fd);
void track(int fd, std::shared_ptr<FdEntry> entry);
void untrack(int fd);

}  // namespace mfgsim
