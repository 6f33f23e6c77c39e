// Model name from the serial number's model code.
#include <cstdio>
#include <cstring>

#include "common/appliance.h"
#include "identity/model.h"
#include "identity/serial.h"
#include "mfg.h"

namespace mfg::identity {
namespace {

// The entry whose code is the serial number's third and fourth characters,
// compared exactly (case matters), or null.
const ModelEntry *find_model(const char *serial) {
    const auto c2 = static_cast<unsigned char>(serial[2]);
    const auto c3 = static_cast<unsigned char>(serial[3]);
    for (int i = 0; i < kModelCount; ++i) {
        const ModelEntry &e = kModelTable[i];
        if (static_cast<unsigned char>(e.code[1]) == c3 &&
            static_cast<unsigned char>(e.code[0]) == c2)
            return &e;
    }
    return nullptr;
}

}  // namespace

const char *default_model() noexcept { return MFG_DEFAULT_MODEL; }

}  // namespace mfg::identity

using namespace mfg::identity;

extern "C" int mfg_read_model(char *out, int length) noexcept {
    // A negative size writes nothing, like 0; a null out cannot take any.
    if (length < 0) length = 0;
    if (out == nullptr && length > 0) return -1;
    const auto size = static_cast<std::size_t>(length);

    // read_serial zero-fills all 100 bytes first, so the third and fourth
    // characters are defined even for a shorter serial number (they are then
    // NULs, which no code holds).
    char serial[mfg::kReaderBufferSize];
    const int r = read_serial(serial, static_cast<int>(sizeof serial));
    if (r == 0) {
        if (const ModelEntry *e = find_model(serial)) {
            // The name, NUL-padded to length; unterminated if it fills out.
            if (size > 0) std::strncpy(out, e->name, size);
            return 0;
        }
    }
    if (size > 0) (void)std::snprintf(out, size, "%s", default_model());
    return r;
}
