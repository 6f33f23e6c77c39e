// Image files through mfg_write_image, onto a NAND partition with a bad block
// or a NOR partition. Input: a mode byte (bit 0: the NOR partition; bits 1-2:
// 0 the rest of the input is the file, 1 the file is a gzip stream of the rest
// repeated to fill the partition, 2 the same stream cut after a 16-bit length,
// 3 the rest behind a gzip member header), a 16-bit cut length, then the data.
// A plain file must land exactly where the block rules put it; a gzip file may
// succeed only with the bytes that an independent inflate gives; a failure
// must be a documented one, logged as such.
#include <zlib.h>

#include <fstream>
#include <string>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

constexpr std::uint32_t kErase = 16 * 1024;

struct Target {
    const char *part, *dev;
    std::uint32_t size;
    bool nand;  // block 1 is bad
};
constexpr Target kTargets[2] = {{"sysa_code", "/dev/tqrd.rsysa_code", 64 * 1024, true},
                                {"sysa_kernel", "/dev/tqrd.rsysa_kernel", 48 * 1024, false}};

bool is_gzip(const Bytes &f) {
    return f.size() >= 4 && f[0] == 0x1F && f[1] == 0x8B && f[2] == 8 && (f[3] & 0xE0) == 0;
}

// Decompressed bytes of concatenated gzip members, up to the first error or
// the first bytes that do not start another member (which zlib ignores).
Bytes inflate_all(const Bytes &f) {
    Bytes out, chunk(std::size_t{64} * 1024);
    z_stream z{};
    FUZZ_CHECK(inflateInit2(&z, 16 + MAX_WBITS) == Z_OK);
    z.next_in = const_cast<Bytef *>(f.data());
    z.avail_in = static_cast<uInt>(f.size());
    for (int r = Z_OK; r == Z_OK;) {
        z.next_out = chunk.data();
        z.avail_out = static_cast<uInt>(chunk.size());
        r = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk.data(), z.next_out);
        if (r == Z_STREAM_END && z.avail_in >= 2 && z.next_in[0] == 0x1F && z.next_in[1] == 0x8B)
            r = inflateReset(&z);
        if (r == Z_BUF_ERROR && z.avail_out != 0) break;  // input ran out
        if (r == Z_BUF_ERROR) r = Z_OK;
    }
    (void)inflateEnd(&z);
    return out;
}

// The partition after data went into its good blocks in order, each block
// whole (the end of the last one 0xFF); the bad block keeps its planted zeros.
Bytes laid_out(const Target &t, const Bytes &data) {
    Bytes image(t.size, 0xFF);
    std::fill_n(image.begin() + kErase, t.nand ? kErase : 0, 0x00);
    for (std::size_t at = 0, from = 0; at < t.size && from < data.size(); at += kErase) {
        if (t.nand && at == kErase) continue;
        const std::size_t n = std::min<std::size_t>(kErase, data.size() - from);
        std::copy_n(&data[from], n, &image[at]);
        from += n;
    }
    return image;
}

bool logged(const char *text) {
    std::ifstream log(mfgsim_syslog_file());
    for (std::string line; std::getline(log, line);)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    begin_input();
    Input in{data, data + size};
    const unsigned mode = in.byte();
    const std::size_t cut = in.u16();
    const Target &t = kTargets[mode & 1];
    const std::uint32_t room = t.nand ? t.size - kErase : t.size;  // what the good blocks hold
    const Bytes rest = in.take(size);
    const unsigned form = mode >> 1 & 3;
    const std::string path = board_dir + "/image";
    Bytes file = form == 3 ? Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3} : Bytes{};
    file.insert(file.end(), rest.begin(), rest.end());
    if (form == 1 || form == 2) {  // through zlib's own writer
        Bytes full(room);
        for (std::size_t i = 0; !rest.empty() && i < room; ++i) full[i] = rest[i % rest.size()];
        const gzFile gz = gzopen(path.c_str(), "wb");
        FUZZ_CHECK(gz && gzwrite(gz, full.data(), room) == static_cast<int>(room) && !gzclose(gz));
        std::ifstream in(path, std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
        if (form == 2) file.resize(std::min(file.size(), cut));
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(file.data()),
               static_cast<std::streamsize>(file.size()));
    plant(t.part, Bytes(t.size, 0x00));
    const auto fds = open_descriptors();

    const int r = mfg_write_image(t.dev, path.c_str());
    FUZZ_CHECK(open_descriptors() == fds && mfgsim_total_violations() == 0);
    if (file.size() > t.size) {  // refused, and erased all the same
        FUZZ_CHECK(r == -1 && logged("Length of image are larger than partition!"));
        FUZZ_CHECK(flash(t.part) == laid_out(t, {}));
    } else if (!is_gzip(file)) {
        FUZZ_CHECK(r == 0 && flash(t.part) == laid_out(t, file));
    } else if (r == 0) {
        Bytes plain = inflate_all(file);
        FUZZ_CHECK(plain.size() >= room);
        plain.resize(room);
        FUZZ_CHECK(flash(t.part) == laid_out(t, plain));
    } else {
        FUZZ_CHECK(r == -1 && logged("Unable to read"));
        FUZZ_CHECK(inflate_all(file).size() < room || form != 1);  // a whole stream is written
    }
    return 0;
}
