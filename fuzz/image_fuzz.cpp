// The image readers: plain and gzip image files, kernel buffers plain or in
// the signed container, and pending update files. Input: an operation byte
// (0 write_image, 1 write_kernelimage, 2 write_pending), a flags byte (the
// partition, the kernel flags, or which pending files exist), then the data;
// for pending files three pieces of a 16-bit length and bytes.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "harness.h"
#include "mfg.h"

using namespace fuzz;

namespace {

struct Part {
    const char *name, *dev;
};
constexpr Part kParts[] = {{"sysa_kernel", "/dev/tqrd.rsysa_kernel"},
                           {"sysb_kernel", "/dev/tqrd.rsysb_kernel"},
                           {"sysa_code", "/dev/tqrd.rsysa_code"}};
constexpr unsigned kBadBlock = 1;  // of sysa_kernel
std::string work;                  // BOARD/work

bool is_gzip(const Bytes &f) {
    return f.size() >= 4 && f[0] == 0x1F && f[1] == 0x8B && f[2] == 8 && !(f[3] & 0xE0);
}

// What the image writer must leave on the partition for this file, block by
// block, bad blocks skipped; false when the write must fail.
bool predict(const Part &part, const Bytes &file, Bytes &want) {
    unsigned size = 0, esz = 0;
    int type = 0;
    FUZZ_CHECK(mfgsim_part_geometry(part.name, &size, &esz, &type) == 0);
    want.assign(size, 0xFF);
    if (file.size() > size) return false;
    const bool gz = is_gzip(file);
    const std::string path = work + "/expect.bin";
    write_file(path, file);
    gzFile g = gz ? gzopen(path.c_str(), "rb") : nullptr;
    std::size_t pos = 0, left = gz ? size : file.size();
    bool ok = true;
    for (unsigned off = 0; ok && left > 0 && off < size; off += esz) {
        if (type == 4 && std::strcmp(part.name, "sysa_kernel") == 0 && off / esz == kBadBlock)
            continue;
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(left, esz));
        if (gz)
            ok = gzread(g, &want[off], chunk) == static_cast<int>(chunk);
        else
            std::copy_n(file.begin() + static_cast<long>(pos), chunk, want.begin() + off);
        pos += chunk;
        left -= chunk;
    }
    if (g) gzclose(g);
    return ok;
}

Bytes container(const Bytes &image) {
    Bytes tag(20, 0);
    std::memcpy(tag.data(), "sysa_kersig", 12);
    put_be32(&tag[16], static_cast<std::uint32_t>(image.size()));
    tag.insert(tag.end(), image.begin(), image.end());
    Bytes out = md5(tag.data(), tag.size());
    out.resize(24);
    put_be32(&out[16], static_cast<std::uint32_t>(tag.size()));
    put_be32(&out[20], 0x12611920);
    out.insert(out.end(), tag.begin(), tag.end());
    return out;
}

void check_write(const Part &part, const Bytes &file, int r) {
    Bytes want;
    const bool ok = predict(part, file, want);
    FUZZ_CHECK(r == (ok ? 0 : -1));
    if (ok) FUZZ_CHECK(flash(part.name) == want);
}

void pending(unsigned present, Input &in) {
    const char *names[] = {"sysa_code", "sysa_kitb", "sysa_kersig"};
    Bytes files[3];
    for (unsigned i = 0; i < 3; ++i) {
        files[i] = in.piece(16384);
        if (present & (1u << i)) write_file(work + "/" + names[i], files[i]);
    }
    // The installer looks its files up in the working directory.
    const int home = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(home >= 0 && ::chdir(work.c_str()) == 0);
    const int r = mfg_write_pending();
    FUZZ_CHECK(::fchdir(home) == 0 && ::close(home) == 0);

    bool ok = true;
    Bytes want[3];
    for (unsigned i = 0; i < 3; ++i) {
        const std::string path = work + "/" + names[i];
        const bool tried = ok && (present & (1u << i)) && (i == 0 || !files[i].empty());
        FUZZ_CHECK(exists(path) == ((present & (1u << i)) && !tried));
        if (tried)
            ok = predict(kParts[i == 0 ? 2 : 0], i == 2 ? container(files[i]) : files[i], want[i]);
        ::unlink(path.c_str());
    }
    FUZZ_CHECK(r == (ok ? 0 : -1));
    // Both kernel updates go to system A; the signed one is written last.
    if (ok && !want[0].empty()) FUZZ_CHECK(flash("sysa_code") == want[0]);
    const Bytes &kernel = want[2].empty() ? want[1] : want[2];
    if (ok && !kernel.empty()) FUZZ_CHECK(flash("sysa_kernel") == kernel);
    FUZZ_CHECK(r == (ok ? 0 : -1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    work = begin_input() + "/work";
    for (const Part &p : kParts) plant(p.name, {});
    const Bytes erased_a = flash("sysa_kernel"), erased_b = flash("sysb_kernel");
    const int fds = open_descriptors();
    Input in(data, size);
    const unsigned op = in.byte() % 3, flags = in.byte();
    if (op == 0) {
        const Part &part = kParts[flags % 3];
        const Bytes file = in.rest();
        write_file(work + "/image.bin", file);
        check_write(part, file, mfg_write_image(part.dev, (work + "/image.bin").c_str()));
    } else if (op == 1) {
        const Bytes image = in.rest();
        const int kflags = static_cast<int>(flags) - 128;
        const bool a = (kflags & ~1) == 2;
        const int r =
            mfg_write_kernelimage(image.data(), static_cast<unsigned>(image.size()), kflags);
        check_write(kParts[a ? 0 : 1], kflags & 1 ? container(image) : image, r);
        FUZZ_CHECK(a ? untouched("sysb_kernel", erased_b) : untouched("sysa_kernel", erased_a));
    } else {
        pending(flags, in);
    }
    FUZZ_CHECK(pending_files() == 0);  // no temporary kernel file left behind
    FUZZ_CHECK(open_descriptors() == fds);
    return 0;
}
