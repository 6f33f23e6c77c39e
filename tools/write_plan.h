// mfgtool: what a partition write will do, worked out before the library
// erases anything, and the read-back that checks it afterwards.
//
// Both of the library's writers lay data into a partition the same way: on
// NAND erase block by erase block into the good blocks in order (a bad block's
// share moves to the next good one), on other types from offset 0; the rest
// of the last block reads 0xFF (mfg_write_image programs it as 0xFF,
// mfg_write_flashpart leaves its trailing 0xFF pages erased). What the
// library would refuse, cut short or fail on after its erase is refused here
// first, with the partition untouched.
#ifndef MFGTOOL_WRITE_PLAN_H
#define MFGTOOL_WRITE_PLAN_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mtd_node.h"
#include "tool.h"

namespace mfgtool {

enum class Writer {
    kImage,      // mfg_write_image (also behind the kernel and pending calls): gzip is unpacked
    kFlashpart,  // mfg_write_flashpart: the buffer as it is
};

// A regular image file, open for the whole operation: the library reads it by
// name, the plan reads it through this descriptor (also after the pending
// installer has removed it).
class InputFile {
public:
    InputFile(const std::string &op, const std::string &path);
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    const std::string &path() const { return path_; }
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }
    // Starts as the library's gzip test does: 1F 8B 08, no reserved flag bits.
    bool gzip() const { return gzip_; }
    Bytes read_all(const std::string &op) const;

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    bool gzip_ = false;
};

// The bytes the writer is handed: an optional prefix (the signed container's
// header), then a body from memory or from a file.
struct ImageData {
    std::string name;  // for messages
    Bytes prefix;
    const unsigned char *mem = nullptr;
    std::uint64_t mem_len = 0;
    const InputFile *file = nullptr;  // used instead of mem when set

    static ImageData of_file(const InputFile &f);
    static ImageData of_memory(const std::string &name, const Bytes &data);
    std::uint64_t body_len() const { return file ? file->size() : mem_len; }
    std::uint64_t len() const { return prefix.size() + body_len(); }
    bool gzip() const { return prefix.empty() && file && file->gzip(); }
    // n bytes at off of the plain data; throws when the file has changed.
    void copy(const std::string &op, std::uint64_t off, unsigned char *out, std::size_t n) const;
};

class WritePlan {
public:
    // Throws OpError, having written nothing, when the write would be refused,
    // cut short or fail after the erase, or when the data is empty (unless
    // --allow-empty).
    WritePlan(const std::string &op, const std::string &dev, Writer writer, ImageData data);
    ~WritePlan();
    WritePlan(const WritePlan &) = delete;
    WritePlan &operator=(const WritePlan &) = delete;

    // Reads back the erase blocks the writer filled and compares them; throws
    // OpError when they differ.
    void verify() const;
    // Bytes the writer places (for gzip: inflated).
    std::uint64_t placed() const { return placed_; }
    std::string summary() const;

    // Inflated data is compared by CRC-32 per piece of this size (the NAND
    // page): every error of up to three bits or one burst of up to 32 bits in
    // a piece is caught, anything else all but certainly (2^-32 per piece).
    static constexpr std::size_t kCrcPiece = 2048;

private:
    void check_room(Writer writer);
    void check_tail(std::uint64_t end) const;
    void inflate_once();
    bool inflated_crc_matches(Bytes &flash) const;
    void compare_inflated(Bytes &flash) const;
    std::string room_text() const;
    [[noreturn]] void mismatch(std::size_t k, std::size_t at) const;

    std::string op_;
    std::unique_ptr<MtdNode> node_;
    ImageData data_;
    BadBlocks bad_;
    std::vector<std::uint32_t> blocks_;  // the good blocks that take data, in order
    std::uint64_t placed_ = 0;
    // A gzip image: the CRC-32 its trailer gives for the whole inflated
    // stream (zlib checked it against the data while inflating), and the
    // CRC-32 and length of what the stream holds past placed_ (0xFF only).
    bool trailer_crc_known_ = false;
    std::uint32_t trailer_crc_ = 0, tail_crc_ = 0;
    std::uint64_t tail_len_ = 0;
};

// After the library call: the read-back (unless --no-verify), then the one
// line that says what was written and whether it was verified.
void finish_write(const WritePlan &plan, const std::string &what);

}  // namespace mfgtool

#endif
