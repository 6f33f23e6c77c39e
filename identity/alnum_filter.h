// The filter applied to serial numbers given by a caller: only letters and
// digits are kept, in order and in their case; separators and everything else
// are dropped.
#pragma once

#include <cstddef>

namespace mfg::identity {

// Copies the bytes of text for which isalnum() is true (taken as unsigned, in
// the caller's locale) into out and terminates it. out holds cap bytes, the NUL
// included. Returns the number of characters kept, or -1 when there are more
// than cap - 1 of them (out then holds a terminated prefix). Never writes past
// out + cap, whatever the length of text. cap must be at least 1.
[[nodiscard]] int filter_alnum(const char *text, char *out, std::size_t cap) noexcept;

}  // namespace mfg::identity
