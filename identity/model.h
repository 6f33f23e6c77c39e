// Model names. The model code is the serial number's third and fourth
// characters; the compiled-in table maps codes to names.
#pragma once

constexpr int MFG_MODEL_CODE_SIZE = 4;
constexpr int MFG_MODEL_NAME_SIZE = 20;

struct mfg_model_entry {
    char code[MFG_MODEL_CODE_SIZE];  // two characters, then two NULs
    char name[MFG_MODEL_NAME_SIZE];  // at most 19 characters, NUL-filled
};

// Number of entries the lookup searches.
constexpr int mfg_model_count = 38;
// The table, built from identity/model_table.def.
extern const mfg_model_entry mfg_model_table[];

// The name given when the code is unknown or the serial number unreadable.
[[nodiscard]] const char *mfg_default_model() noexcept;
