// board.conf: one directive per line, '#' starts a comment.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "board.h"

namespace mfgsim {
namespace {

struct OpName {
    const char *name;
    Op op;
};
constexpr OpName kOps[] = {
    {"open", Op::Open},         {"MEMGETINFO", Op::MemGetInfo},
    {"MEMERASE", Op::MemErase}, {"MEMGETBADBLOCK", Op::MemGetBadBlock},
    {"read", Op::Read},         {"write", Op::Write},
    {"pwrite", Op::Pwrite},     {"fstat", Op::Fstat},
    {"mkstemp", Op::Mkstemp},   {"pread", Op::Pread},
    {"lseek", Op::Lseek},       {"stat", Op::Stat},
    {"unlink", Op::Unlink},     {"flock", Op::Flock},
    {"sync", Op::Sync},         {"malloc", Op::Malloc},
};

struct ErrnoName {
    const char *name;
    int value;
};
constexpr ErrnoName kErrnos[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},
    {"EINTR", EINTR},         {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EBADF", EBADF},
    {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},       {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},         {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},       {"EISDIR", EISDIR},
    {"EINVAL", EINVAL},       {"ENFILE", ENFILE},
    {"EMFILE", EMFILE},       {"ENOTTY", ENOTTY},
    {"EFBIG", EFBIG},         {"ENOSPC", ENOSPC},
    {"EROFS", EROFS},         {"ERANGE", ERANGE},
    {"EBADMSG", EBADMSG},     {"EOPNOTSUPP", EOPNOTSUPP},
    {"ETIMEDOUT", ETIMEDOUT}, {"EDQUOT", EDQUOT},
    {"EUCLEAN", EUCLEAN},     {"ENAMETOOLONG", ENAMETOOLONG},
};

constexpr char kDefaultConf[] =
    "# Default board: NAND pages of 2048 bytes.\n"
    "part cfg nand size=512K erase=128K alias=cfg0,rcfg0\n"
    "part mfg nand size=128K erase=128K\n"
    "part bootcfg nor size=256K erase=64K\n"
    "part sysa_kernel nand size=4M erase=128K\n"
    "part sysb_kernel nand size=4M erase=128K\n"
    "part sysa_code nand size=16M erase=128K\n";

// A number with an optional 0x prefix and K or M suffix.
bool parse_size(const std::string &s, unsigned long long &out) {
    if (s.empty() || s[0] == '-') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno || end == s.c_str()) return false;
    unsigned long long mult = 1;
    if (*end == 'K' || *end == 'k')
        mult = 1024, ++end;
    else if (*end == 'M' || *end == 'm')
        mult = 1024ull * 1024, ++end;
    if (*end) return false;
    if (v > ~0ull / mult) return false;
    out = v * mult;
    return true;
}

bool parse_u32(const std::string &s, std::uint32_t &out) {
    unsigned long long v;
    if (!parse_size(s, v) || v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) out.push_back(cur);
    return out;
}

bool parse_errno(const std::string &s, int &out) {
    for (const auto &e : kErrnos)
        if (s == e.name) return out = e.value, true;
    std::uint32_t v;
    if (!parse_u32(s, v) || v == 0 || v > 4095) return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_type(const std::string &s, int &out) {
    if (s == "nand") return out = 4, true;
    if (s == "nor") return out = 3, true;
    if (s == "ram") return out = 1, true;
    std::uint32_t v;
    if (!parse_u32(s, v) || v > 255) return false;
    out = static_cast<int>(v);
    return true;
}

// Splits "key=value"; a word without '=' gives an empty value.
void key_value(const std::string &word, std::string &key, std::string &value) {
    auto eq = word.find('=');
    key = word.substr(0, eq);
    value = eq == std::string::npos ? std::string() : word.substr(eq + 1);
}

// Partition names become file names under BOARD/dev and aliases the rest of a
// device path: a word that is empty, a dot name, or holds a slash could reach
// outside the board or never be opened.
bool safe_name(const std::string &s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos;
}

bool parse_part(const std::vector<std::string> &w, BoardLayout &board, std::string &why) {
    if (w.size() < 3) return why = "part NAME TYPE size=N erase=N ...", false;
    PartLayout p;
    p.name = w[1];
    if (!parse_type(w[2], p.type)) return why = "unknown type " + w[2], false;
    for (size_t i = 3; i < w.size(); ++i) {
        std::string key, value;
        key_value(w[i], key, value);
        if (key == "size" && parse_u32(value, p.size)) continue;
        if (key == "erase" && parse_u32(value, p.erasesize)) continue;
        if (key == "nobbt" && value.empty()) {
            p.nobbt = true;
            continue;
        }
        if (key == "alias" && !value.empty()) {
            p.aliases = split(value, ',');
            continue;
        }
        if (key == "bad" && !value.empty()) {
            bool ok = true;
            for (const auto &b : split(value, ',')) {
                std::uint32_t idx;
                ok = ok && parse_u32(b, idx);
                if (ok) p.bad.push_back(idx);
            }
            if (ok) continue;
        }
        return why = "bad word " + w[i], false;
    }
    if (p.aliases.empty()) p.aliases.push_back("r" + p.name);
    if (!safe_name(p.name)) return why = "bad partition name " + p.name, false;
    for (const auto &a : p.aliases)
        if (!safe_name(a)) return why = "bad alias \"" + a + "\"", false;
    // The size need not be whole erase blocks: the last block is then partial
    // and no erase request can cover it.
    if (p.size == 0 || p.erasesize == 0 || p.erasesize > p.size)
        return why = "size and erase must be non-zero, erase at most size", false;
    bool nand = p.type == 4 || p.type == 8;
    if (nand && (p.erasesize % kPageSize || p.size % kPageSize))
        return why = "NAND sizes must be whole pages", false;
    if (!nand && (!p.bad.empty() || p.nobbt)) return why = "bad blocks only exist on NAND", false;
    for (auto b : p.bad)
        if (b >= (p.size - 1) / p.erasesize + 1) return why = "bad block index out of range", false;
    for (const auto &other : board.parts) {
        if (other.name == p.name) return why = "partition " + p.name + " twice", false;
        for (const auto &a : other.aliases)
            for (const auto &mine : p.aliases)
                if (a == mine) return why = "alias " + a + " twice", false;
    }
    board.parts.push_back(std::move(p));
    return true;
}

bool parse_fault(const std::vector<std::string> &w, BoardLayout &board, std::string &why) {
    Fault f;
    const bool known = w.size() >= 2 && op_from_name(w[1].c_str(), f.op);
    if (w.size() < 3 && !(known && f.op == Op::Malloc))
        return why = "fault OP PATH [nth=N] [count=N] [errno=E] [partial=N] [signal=S]", false;
    if (!known) return why = "unknown operation " + w[1], false;
    // "fault malloc [nth=N]": allocations of every library object.
    const bool any_object =
        f.op == Op::Malloc && (w.size() < 3 || w[2].find('=') != std::string::npos);
    f.glob = any_object ? "*" : w[2];
    for (size_t i = any_object ? 2 : 3; i < w.size(); ++i) {
        std::string key, value;
        key_value(w[i], key, value);
        std::uint32_t n;
        if (key == "nth" && parse_u32(value, n) && n > 0)
            f.nth = n;
        else if (key == "count" && parse_u32(value, n))
            f.count = n;
        else if (key == "errno" && parse_errno(value, f.err)) {
        } else if (key == "partial" && parse_u32(value, n) && n <= 0x7FFFFFFF)
            f.partial = static_cast<long>(n);
        else
            return why = "bad word " + w[i], false;
    }
    board.faults.push_back(std::move(f));
    return true;
}

}  // namespace

bool op_from_name(const char *name, Op &out) {
    if (!name) return false;
    for (const auto &o : kOps)
        if (std::strcmp(o.name, name) == 0) return out = o.op, true;
    return false;
}

const char *op_name(Op op) {
    for (const auto &o : kOps)
        if (o.op == op) return o.name;
    return "?";
}

const char *default_board_conf() { return kDefaultConf; }

bool parse_board_conf(const std::string &text, BoardLayout &out, std::string &error) {
    BoardLayout board;
    std::istringstream in(text);
    std::string line;
    for (unsigned lineno = 1; std::getline(in, line); ++lineno) {
        auto hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        std::string why;
        bool ok = false;
        unsigned long long limit = 0;
        if (w[0] == "part")
            ok = parse_part(w, board, why);
        else if (w[0] == "fault")
            ok = parse_fault(w, board, why);
        else if (w[0] == "pending_limit" && w.size() == 2 && parse_size(w[1], limit) &&
                 limit <= 0x7FFFFFFFFFFFFFFFull) {
            board.pending_limit = static_cast<long long>(limit);
            ok = true;
        } else
            why = "unknown directive";
        if (!ok) {
            error = "board.conf line " + std::to_string(lineno) + ": " + why;
            return false;
        }
    }
    out = std::move(board);
    return true;
}

}  // namespace mfgsim
