// mfgtool: one field written through the library and checked against every
// field the write could have touched.
#ifndef MFGTOOL_FIELD_WRITE_H
#define MFGTOOL_FIELD_WRITE_H

#include <functional>
#include <optional>
#include <string>

#include "snapshot.h"
#include "store_extents.h"

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
// each field read once, then kept up to date from each write's read-back. A
// store write rewrites the whole store image; each store field's bytes as the
// raw partition holds them are compared before and after, so that after each
// write only the target and the fields whose bytes changed are read through
// the library.
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
    // The fields read back after the last write: as fresh as a new read.
    FieldMask read_since_write() const { return read_since_write_; }

private:
    // Fields other than the target whose stored bytes the write changed
    // (store writes only, target included; other writes: every touched field).
    FieldMask changed_by_write(Field target);
    // What f held before the write: as read, or else as its bytes in store show.
    Reading held_before(Field f, const std::optional<StoreExtents> &store) const;

    std::string op_;
    Snapshot known_;
    FieldMask read_since_write_ = 0;
    std::optional<StoreExtents> store_;  // the store fields' bytes before the next write
};

}  // namespace mfgtool

#endif
