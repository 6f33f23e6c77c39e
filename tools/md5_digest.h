// mfgtool: MD5 digests (signed kernel containers, store sections of a
// backup) from libcrypto, loaded when a command first needs one.
//
// Most commands never compute a digest, so the tool does not link libcrypto:
// loading and relocating it would lengthen every start (on the appliance's
// processor, by about a tenth of a provisioning run). Where libmfg.so
// already brought it in, loading it again costs nothing.
#ifndef MFGTOOL_MD5_DIGEST_H
#define MFGTOOL_MD5_DIGEST_H

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace mfgtool {

using Md5 = std::array<unsigned char, 16>;

// One digest over data fed in pieces. Every step throws OpError naming op
// when libcrypto cannot be loaded or fails: the digest is then unknown,
// which says nothing about the data.
class Md5Digest {
public:
    explicit Md5Digest(std::string op);
    ~Md5Digest();
    Md5Digest(const Md5Digest &) = delete;
    Md5Digest &operator=(const Md5Digest &) = delete;

    void update(const unsigned char *data, std::size_t n);
    Md5 finish();

private:
    struct Ctx;
    std::string op_;
    std::unique_ptr<Ctx> ctx_;
};

// The digest of one buffer.
Md5 md5_of(const std::string &op, const unsigned char *data, std::size_t n);

}  // namespace mfgtool

#endif
