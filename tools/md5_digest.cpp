#include "md5_digest.h"

#include <dlfcn.h>
#include <openssl/evp.h>

#include <algorithm>

#include "tool.h"

namespace mfgtool {

namespace {

// The EVP calls the tool makes, resolved in libcrypto.so.3.
struct Evp {
    decltype(&EVP_MD_CTX_new) ctx_new = nullptr;
    decltype(&EVP_MD_CTX_free) ctx_free = nullptr;
    decltype(&EVP_md5) md5 = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
};

struct LibraryCloser {
    void operator()(void *handle) const { dlclose(handle); }
};

template <typename Fn>
void resolve(void *handle, const char *name, Fn &fn, std::string &missing) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (!fn) missing += (missing.empty() ? "" : ", ") + std::string(name);
}

// Loaded once per process; the reason when it could not be.
const Evp &evp(const std::string &op) {
    static std::string error;
    static std::unique_ptr<void, LibraryCloser> handle;
    static const Evp loaded = [] {
        Evp e;
        handle.reset(dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
        if (!handle) {
            const char *why = dlerror();
            error = why ? why : "libcrypto.so.3 not found";
            return e;
        }
        std::string missing;
        resolve(handle.get(), "EVP_MD_CTX_new", e.ctx_new, missing);
        resolve(handle.get(), "EVP_MD_CTX_free", e.ctx_free, missing);
        resolve(handle.get(), "EVP_md5", e.md5, missing);
        resolve(handle.get(), "EVP_DigestInit_ex", e.init, missing);
        resolve(handle.get(), "EVP_DigestUpdate", e.update, missing);
        resolve(handle.get(), "EVP_DigestFinal_ex", e.final, missing);
        if (!missing.empty()) error = "libcrypto.so.3 lacks " + missing;
        return e;
    }();
    if (!error.empty()) fail(op, "no MD5 digest can be computed: " + error);
    return loaded;
}

}  // namespace

struct Md5Digest::Ctx {
    const Evp &evp;
    EVP_MD_CTX *ctx;
    ~Ctx() { evp.ctx_free(ctx); }
};

Md5Digest::Md5Digest(std::string op) : op_(std::move(op)) {
    const Evp &e = evp(op_);
    ctx_.reset(new Ctx{e, e.ctx_new()});
    if (!ctx_->ctx || e.init(ctx_->ctx, e.md5(), nullptr) != 1)
        fail(op_, "the MD5 digest could not be started (libcrypto)");
}

Md5Digest::~Md5Digest() = default;

void Md5Digest::update(const unsigned char *data, std::size_t n) {
    if (ctx_->evp.update(ctx_->ctx, data, n) != 1)
        fail(op_, "the MD5 digest could not be computed (libcrypto)");
}

Md5 Md5Digest::finish() {
    Md5 out{};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (ctx_->evp.final(ctx_->ctx, md, &n) != 1 || n != out.size())
        fail(op_, "the MD5 digest could not be computed (libcrypto)");
    std::copy(md, md + out.size(), out.begin());
    return out;
}

Md5 md5_of(const std::string &op, const unsigned char *data, std::size_t n) {
    Md5Digest d(op);
    d.update(data, n);
    return d.finish();
}

}  // namespace mfgtool
