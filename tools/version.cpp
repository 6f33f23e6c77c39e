// Versions of the tool and of the library. The library exports no version
// call: the version built against comes from the build (or mfg.h's version
// macros where the header has them), and the loaded one from the name of the
// file the dynamic linker mapped, libmfg.so.MAJOR.MINOR.PATCH behind the
// libmfg.so.1 link.
#include "version.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "mfg.h"

namespace mfgtool {

namespace {

std::string built_against() {
#if defined(MFG_VERSION_MAJOR) && defined(MFG_VERSION_MINOR) && defined(MFG_VERSION_PATCH)
    return std::to_string(MFG_VERSION_MAJOR) + "." + std::to_string(MFG_VERSION_MINOR) + "." +
           std::to_string(MFG_VERSION_PATCH);
#else
    return MFG_LIB_BUILD_VERSION;
#endif
}

// The real file of the object that defines an exported function, and the
// version in its name ("" when the name carries none).
std::pair<std::string, std::string> loaded() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&mfg_valid_serial), &info) == 0 ||
        info.dli_fname == nullptr)
        return {"", ""};
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(info.dli_fname, nullptr),
                                                           &std::free);
    const std::string file = real ? real.get() : info.dli_fname;
    const std::string stem = "libmfg.so.";
    const auto at = file.rfind(stem);
    if (at == std::string::npos || file.find('/', at) != std::string::npos) return {file, ""};
    const std::string v = file.substr(at + stem.size());
    const bool numeric = !v.empty() && v.find_first_not_of("0123456789.") == std::string::npos;
    return {file, numeric ? v : ""};
}

}  // namespace

std::string version_text() {
    const auto [file, version] = loaded();
    return "mfgtool " MFG_TOOL_VERSION "\nlibmfg " + built_against() + " (built against), " +
           (version.empty() ? "unknown" : version) + " (loaded" +
           (file.empty() ? "" : " from " + file) + ")";
}

}  // namespace mfgtool
