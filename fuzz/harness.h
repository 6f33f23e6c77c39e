// What every fuzz target shares: one simulated board per process whose
// partitions each input re-plants, a reader of the input's fields, and the
// independent decoders the targets check the library's answers against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mfgsim.h"

namespace fuzz {

using Bytes = std::vector<unsigned char>;

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char *what, const char *file, int line);
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::fuzz::fail(#cond, __FILE__, __LINE__))

// Makes the process's board on first use (small partitions, so that an input
// costs little) and starts a new input on it: faults cleared, counters and the
// captured syslog reset. Returns the board directory.
const std::string &begin_input();
// Replaces a partition's whole content: bytes from offset 0, the rest erased.
void plant(const char *part, const Bytes &bytes);
Bytes flash(const char *part);
mfgsim_stats stats(const char *part);
bool untouched(const char *part, const Bytes &before);  // same bytes, nothing erased or written
Bytes read_file(const std::string &path);
void write_file(const std::string &path, const Bytes &bytes);
bool exists(const std::string &path);
int open_descriptors();
// Names in BOARD/pending.
int pending_files();

std::uint32_t be32(const unsigned char *p);
void put_be32(unsigned char *p, std::uint32_t v);
Bytes md5(const unsigned char *data, std::size_t n);

// A section of a store image decoded on its own: valid when its magic is the
// slot's, its length fits the data area and its digest matches.
struct Section {
    const unsigned char *data = nullptr;
    std::uint32_t length = 0;
    bool valid = false;
};
constexpr std::size_t kStoreSize = 30840, kSlotSize = 6168, kSectionData = 6144;
Section decode_section(const Bytes &image, unsigned index);
// A valid section carrying data, as the store lays it out.
Bytes encode_section(unsigned index, const Bytes &data);

// Fields taken from the front of the input; past its end they read as empty.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : p_(data), left_(size) {}
    unsigned byte();
    unsigned u16();  // big-endian
    Bytes take(std::size_t n);
    Bytes piece(std::size_t max);  // a u16 length, then that many bytes (at most max)
    Bytes rest() { return take(left_); }

private:
    const std::uint8_t *p_;
    std::size_t left_;
};

}  // namespace fuzz
