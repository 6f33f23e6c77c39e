#include "identity/alnum_filter.h"

#include <cctype>

namespace mfg::identity {

int filter_alnum(const char *text, char *out, std::size_t cap) noexcept {
    std::size_t kept = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (!std::isalnum(static_cast<unsigned char>(*p))) continue;
        if (kept + 1 >= cap) {
            out[kept] = '\0';
            return -1;
        }
        out[kept++] = *p;
    }
    out[kept] = '\0';
    return static_cast<int>(kept);
}

}  // namespace mfg::identity
