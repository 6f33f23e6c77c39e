// mfgtool: one field written through the library and checked against every
// field the write could have touched.
#ifndef MFGTOOL_FIELD_WRITE_H
#define MFGTOOL_FIELD_WRITE_H

#include <functional>
#include <string>

#include "snapshot.h"

namespace mfgtool {

struct FieldWrite {
    Field target;
    const char *fn;             // the library function, named in messages
    std::function<int()> call;  // the library call; 0 when it reports success
    // "" when the target reads back as wanted, else what is wrong with it.
    std::function<std::string(const Reading &)> check;
    // Fields whose contents may change with the write (only whether they are
    // there is compared): the key when a serial number changes.
    FieldMask loose = 0;
};

// A check that the target reads back as exactly want.
std::function<std::string(const Reading &)> expect_exactly(Field f, Reading want);

// Writes fields of one unit. Knows what the unit held before the next write:
// read once, then updated from each write's read-back, so a run of writes
// reads every field once before the first and once after each write only the
// fields that write could touch.
class UnitWriter {
public:
    explicit UnitWriter(std::string op) : op_(std::move(op)) {}
    void set_op(std::string op) { op_ = std::move(op); }
    const std::string &op() const { return op_; }
    Snapshot &known() { return known_; }

    // Calls the library with the interrupting signals held. When verifying:
    // refuses (nothing written) while a field the write could touch cannot be
    // read, and afterwards throws OpError naming every touched field that is
    // not as expected; "verified" is then never said. Without verification it
    // still fails when the library returned an error or reported one on stderr.
    void write(const FieldWrite &w);

private:
    std::string op_;
    Snapshot known_;
};

}  // namespace mfgtool

#endif
