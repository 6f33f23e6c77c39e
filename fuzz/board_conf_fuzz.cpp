// The simulator's board description parser. A description it accepts must
// describe a board it can lay out, and must read back the same when written
// out again; one it refuses names the line and leaves the layout alone.
#include <cstring>
#include <sstream>
#include <string>

#include "board.h"
#include "harness.h"

using namespace mfgsim;

namespace {

template <class T>
void join(std::ostream &out, const char *key, const std::vector<T> &items) {
    if (items.empty()) return;
    out << ' ' << key;
    for (std::size_t i = 0; i < items.size(); ++i) out << (i ? "," : "") << items[i];
}

std::string write_out(const BoardLayout &b) {
    std::ostringstream out;
    for (const PartLayout &p : b.parts) {
        out << "part " << p.name << ' ' << p.type << " size=" << p.size << " erase=" << p.erasesize;
        if (p.aliases != std::vector<std::string>{"r" + p.name}) join(out, "alias=", p.aliases);
        join(out, "bad=", p.bad);
        out << (p.nobbt ? " nobbt\n" : "\n");
    }
    if (b.pending_limit >= 0) out << "pending_limit " << b.pending_limit << '\n';
    for (const Fault &f : b.faults) {
        out << "fault " << op_name(f.op) << ' ' << f.glob << " nth=" << f.nth
            << " count=" << f.count << " errno=" << f.err;
        if (f.partial >= 0) out << " partial=" << f.partial;
        out << '\n';
    }
    return out.str();
}

void check_part(const PartLayout &p, const BoardLayout &b, std::size_t index) {
    FUZZ_CHECK(p.size > 0 && p.erasesize > 0 && p.erasesize <= p.size && !p.aliases.empty());
    if (p.type == 4 || p.type == 8)
        FUZZ_CHECK(p.size % kPageSize == 0 && p.erasesize % kPageSize == 0);
    for (std::uint32_t bad : p.bad) FUZZ_CHECK(bad <= (p.size - 1) / p.erasesize);
    // Names become files under BOARD/dev: none may be empty or leave the board.
    for (const std::string &n : p.aliases) FUZZ_CHECK(!n.empty() && n.find('/') == n.npos);
    FUZZ_CHECK(!p.name.empty() && p.name.find('/') == p.name.npos && p.name != "..");
    for (std::size_t j = 0; j < index; ++j) {
        FUZZ_CHECK(b.parts[j].name != p.name);
        for (const std::string &a : p.aliases)
            for (const std::string &other : b.parts[j].aliases) FUZZ_CHECK(a != other);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    BoardLayout layout;
    layout.pending_limit = 12345;
    std::string error;
    if (!parse_board_conf(text, layout, error)) {
        FUZZ_CHECK(error.rfind("board.conf line ", 0) == 0 && layout.pending_limit == 12345);
        return 0;
    }
    for (const Fault &f : layout.faults) FUZZ_CHECK(f.nth >= 1 && f.err > 0);
    for (std::size_t i = 0; i < layout.parts.size(); ++i) check_part(layout.parts[i], layout, i);
    BoardLayout again;
    const std::string written = write_out(layout);
    FUZZ_CHECK(parse_board_conf(written, again, error));
    FUZZ_CHECK(write_out(again) == written);
    return 0;
}
