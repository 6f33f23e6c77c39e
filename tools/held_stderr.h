// mfgtool: keeps what the library prints on stderr during one short call in a
// memory file and forwards it when the call has returned, so the tool learns
// whether the library reported a failure it did not return (a failed store
// write-back), at the cost of a few descriptor calls instead of a thread.
#ifndef MFGTOOL_HELD_STDERR_H
#define MFGTOOL_HELD_STDERR_H

namespace mfgtool {

class HeldStderr {
public:
    HeldStderr() noexcept;
    ~HeldStderr() { finish(); }
    HeldStderr(const HeldStderr &) = delete;
    HeldStderr &operator=(const HeldStderr &) = delete;
    // Forwards what was held (with a final newline when it lacked one) and
    // restores stderr; true when anything was printed. Without a memory file
    // nothing is held and the answer is false.
    bool finish() noexcept;

private:
    int saved_ = -1;
    int file_ = -1;
};

}  // namespace mfgtool

#endif
