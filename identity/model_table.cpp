// The model table, compiled from model_table.def and checked at build time.
#include "identity/model.h"
#include "identity/model_rules.h"

// A name longer than 19 characters does not even compile here: it leaves no
// room for its NUL in the 20-byte field.
#define MFG_MODEL(code, name) {code, name},
constexpr mfg_model_entry mfg_model_table[] = {
#include "identity/model_table.def"
};
#undef MFG_MODEL

constexpr int kEntries = static_cast<int>(sizeof mfg_model_table / sizeof mfg_model_table[0]);
static_assert(kEntries == mfg_model_count,
              "model_table.def must hold exactly mfg_model_count entries");
static_assert(mfg_model_first_bad(mfg_model_table, kEntries) == -1,
              "model_table.def: an entry has a bad or duplicate code, or a bad name");
