// Model names. The model code is the serial number's third and fourth
// characters; the compiled-in table maps codes to names.
#pragma once

namespace mfg::identity {

constexpr int kModelCodeSize = 4;
constexpr int kModelNameSize = 20;

struct ModelEntry {
    char code[kModelCodeSize];  // two characters, then two NULs
    char name[kModelNameSize];  // at most 19 characters, NUL-filled
};

// Number of entries the lookup searches.
constexpr int kModelCount = 38;
// The table, built from identity/model_table.def.
extern const ModelEntry kModelTable[];

// The name given when the code is unknown or the serial number unreadable.
[[nodiscard]] const char *default_model() noexcept;

}  // namespace mfg::identity
