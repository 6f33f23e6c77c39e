// Rules every model table must meet, usable at compile time:
//  - codes are two upper-case letters or digits followed by two NULs;
//  - no code is "00" (the code of the default serial number, which must keep
//    mapping to the default model);
//  - no two entries share a code;
//  - names are 1 to 19 characters, NUL-filled to the end of their field.
#pragma once

#include "identity/model.h"

namespace mfg::identity {

constexpr bool model_code_char_ok(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

constexpr bool model_code_ok(const ModelEntry &e) {
    return model_code_char_ok(e.code[0]) && model_code_char_ok(e.code[1]) && e.code[2] == '\0' &&
           e.code[3] == '\0' && !(e.code[0] == '0' && e.code[1] == '0');
}

constexpr bool model_name_ok(const ModelEntry &e) {
    if (e.name[0] == '\0') return false;
    bool ended = false;
    for (int i = 0; i < kModelNameSize; ++i) {
        if (e.name[i] == '\0')
            ended = true;
        else if (ended)
            return false;
    }
    return ended;
}

// Index of the first entry that breaks a rule (a duplicate code counts against
// its second occurrence), or -1 when the table is sound.
constexpr int model_first_bad(const ModelEntry *table, int count) {
    for (int i = 0; i < count; ++i) {
        if (!model_code_ok(table[i]) || !model_name_ok(table[i])) return i;
        for (int j = 0; j < i; ++j)
            if (table[j].code[0] == table[i].code[0] && table[j].code[1] == table[i].code[1])
                return i;
    }
    return -1;
}

}  // namespace mfg::identity
