#include "kernel/real_flash.h"

#include "common/unique_fd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace ktest {

Geometry geometry(const char *node) {
    const mfg::UniqueFd f(::open(node, O_RDONLY));
    mtd_info_user info{};
    EXPECT_GE(f.get(), 0) << node;
    EXPECT_EQ(::ioctl(f.get(), MEMGETINFO, &info), 0) << node;
    return {info.type, info.size, info.erasesize};
}

Bytes node_bytes(const char *node) {
    const Geometry g = geometry(node);
    const mfg::UniqueFd f(::open(node, O_RDONLY));
    Bytes b(g.size);
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t n =
            ::pread(f.get(), b.data() + done, b.size() - done, static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(done, b.size()) << node;
    return b;
}

bool is_bad(const char *node, unsigned block) {
    const Geometry g = geometry(node);
    const mfg::UniqueFd f(::open(node, O_RDONLY));
    loff_t at = static_cast<loff_t>(block) * g.erasesize;
    const int r = ::ioctl(f.get(), MEMGETBADBLOCK, &at);
    EXPECT_GE(r, 0) << node << " block " << block;
    return r > 0;
}

Bytes good_blocks(const char *node) {
    const Geometry g = geometry(node);
    const Bytes all = node_bytes(node);
    Bytes good;
    for (unsigned b = 0; b < g.size / g.erasesize; ++b) {
        if (is_bad(node, b)) continue;
        const Bytes block = slice(all, std::size_t{b} * g.erasesize, g.erasesize);
        good.insert(good.end(), block.begin(), block.end());
    }
    return good;
}

unsigned corrected_bitflips(const char *node) {
    const mfg::UniqueFd f(::open(node, O_RDONLY));
    mtd_ecc_stats st{};
    EXPECT_EQ(::ioctl(f.get(), ECCGETSTATS, &st), 0) << node;
    return st.corrected;
}

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b = mfgtest::pattern(n, seed);
    for (std::size_t i = 0; i < n; i += 2048) b[i] = 0x5A;
    return b;
}

Bytes compressible(std::size_t n, unsigned seed) {
    const Bytes piece = pattern(512, seed);
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = piece[i % piece.size()];
    for (std::size_t i = 0; i + 4 <= n; i += 2048)
        for (int s = 0; s < 4; ++s) b[i + s] = static_cast<unsigned char>(i >> (8 * s + 11));
    return b;
}

void KernelTest::SetUp() {
    old_cwd_ = std::filesystem::current_path();
    char tmpl[] = "/tmp/ktest.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::filesystem::current_path(dir_);
}

void KernelTest::TearDown() {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
}

}  // namespace ktest
