// Strict reading of a provisioning manifest. nlohmann::json takes the last of
// two equal keys and reads a NUL byte as the end of its input; both would let
// a manifest say something other than what the station wrote, so both are
// refused here, with the place in the file.
#include "manifest.h"
#include "files.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <string_view>
#include <vector>

namespace mfgtool {

namespace {

constexpr std::size_t kManifestMax = 1u << 20;

// An input iterator over the manifest that records how many bytes the parser
// has taken, so that a callback knows where it is in the file.
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char *;
    using reference = const char &;

    CountingIterator(const char *p, const char *base, std::size_t *taken)
        : p_(p), base_(base), taken_(taken) {}
    reference operator*() const { return *p_; }
    CountingIterator &operator++() {
        ++p_;
        *taken_ = static_cast<std::size_t>(p_ - base_);
        return *this;
    }
    bool operator==(const CountingIterator &o) const { return p_ == o.p_; }
    bool operator!=(const CountingIterator &o) const { return p_ != o.p_; }

private:
    const char *p_;
    const char *base_;
    std::size_t *taken_;
};

// "byte N (line L, column C)" of the 1-based byte position pos.
std::string place(const std::string &text, std::size_t pos) {
    const std::size_t at = std::min(pos == 0 ? 0 : pos - 1, text.size());  // 0-based
    const auto head = std::string_view(text).substr(0, at);
    const auto line = 1 + std::count(head.begin(), head.end(), '\n');
    const auto nl = head.rfind('\n');
    const std::size_t column = nl == std::string_view::npos ? at + 1 : at - nl;
    return "byte " + std::to_string(pos) + " (line " + std::to_string(line) + ", column " +
           std::to_string(column) + ")";
}

// The 1-based position of the opening quote of the string that ends just
// before byte end (its closing quote is text[end - 1]).
std::size_t string_start(const std::string &text, std::size_t end) {
    for (std::size_t i = end - 1; i-- > 0;) {
        if (text[i] != '"') continue;
        std::size_t slashes = 0;
        while (slashes < i && text[i - 1 - slashes] == '\\') ++slashes;
        if (slashes % 2 == 0) return i + 1;
    }
    return 1;
}

// The parser's message without its "[json.exception...] parse error at ...: " prefix.
std::string parse_reason(const std::string &what) {
    const auto colon = what.find(": ");
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

}  // namespace

json load_manifest(const std::string &path) {
    const Bytes raw = read_input("manifest", path, kManifestMax);
    const std::string text(raw.begin(), raw.end());
    const std::string where = "manifest " + path + ": ";
    const auto nul = text.find('\0');
    if (nul != std::string::npos)
        throw UsageError(where + "NUL byte at " + place(text, nul + 1) + "; a manifest is text");

    std::size_t taken = 0;
    std::vector<std::set<std::string>> keys;  // the keys of each object being read
    const auto check = [&](int, json::parse_event_t event, json &parsed) {
        using E = json::parse_event_t;
        if (event == E::object_start) keys.emplace_back();
        if (event == E::object_end && !keys.empty()) keys.pop_back();
        const bool text_value = (event == E::key || event == E::value) && parsed.is_string();
        if (!text_value) return true;
        const std::string &s = parsed.get_ref<const std::string &>();
        if (s.find('\0') != std::string::npos)
            throw UsageError(where + "the text at " + place(text, string_start(text, taken)) +
                             " holds \\u0000, which would cut it short");
        if (event == E::key && !keys.empty() && !keys.back().insert(s).second)
            throw UsageError(where + "key \"" + s + "\" given twice in one object, again at " +
                             place(text, string_start(text, taken)));
        return true;
    };
    json m;
    try {
        const char *base = text.data();
        m = json::parse(CountingIterator(base, base, &taken),
                        CountingIterator(base + text.size(), base, &taken), check);
    } catch (const json::parse_error &e) {
        throw UsageError(where + "not valid JSON at " + place(text, e.byte) + ": " +
                         parse_reason(e.what()));
    }
    if (!m.is_object()) throw UsageError(where + "not a JSON object");
    if (m.empty())
        throw UsageError(where +
                         "no field to write; give at least one of serial, oem_serial, "
                         "macs, client_auth, client_auth_key, bootopts");
    return m;
}

}  // namespace mfgtool
