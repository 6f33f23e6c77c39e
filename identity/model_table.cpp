// The model table, compiled from model_table.def and checked at build time.
#include "identity/model.h"
#include "identity/model_rules.h"

// A name longer than 19 characters does not even compile here: it leaves no
// room for its NUL in the 20-byte field.
namespace mfg::identity {

#define MODEL_ENTRY(code, name) {code, name},
constexpr ModelEntry kModelTable[] = {
#include "identity/model_table.def"
};
#undef MODEL_ENTRY

constexpr int kEntries = static_cast<int>(sizeof kModelTable / sizeof kModelTable[0]);
static_assert(kEntries == kModelCount, "model_table.def must hold exactly kModelCount entries");
static_assert(model_first_bad(kModelTable, kEntries) == -1,
              "model_table.def: an entry has a bad or duplicate code, or a bad name");

}  // namespace mfg::identity
