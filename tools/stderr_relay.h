// mfgtool: the relay of what the library prints on standard error.
#ifndef MFGTOOL_STDERR_RELAY_H
#define MFGTOOL_STDERR_RELAY_H

#include <memory>

namespace mfgtool {

// While alive, whatever the process writes to stderr (the library prints some
// of its messages there without a newline) is forwarded, and a missing final
// newline is added when it ends, so that the next message starts its own line.
class StderrRelay {
public:
    StderrRelay();
    ~StderrRelay();
    StderrRelay(const StderrRelay &) = delete;
    StderrRelay &operator=(const StderrRelay &) = delete;

private:
    int saved_ = -1;
    int pipe_read_ = -1;
    struct Pump;
    std::unique_ptr<Pump> pump_;
};

}  // namespace mfgtool

#endif
