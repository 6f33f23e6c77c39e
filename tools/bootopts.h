// mfgtool: the boot loader's option record.
#ifndef MFGTOOL_BOOTOPTS_H
#define MFGTOOL_BOOTOPTS_H

#include <string>

#include "tool.h"

namespace mfgtool {

class UnitWriter;

struct BootSettings {
    std::string console;  // "", "ttyS0" or "ttyS1"
    std::string append;
    bool has_append = false;
    bool keep_ram = false;
    bool keep_flash = false;
    bool set_flag = false;
};
void bootopts_check(const BootSettings &s);
// False when the record already is as asked (nothing written). A text to
// append that already ends the command lines is not appended again.
bool bootopts_set(UnitWriter &w, const BootSettings &s);
json decode_bootopts(const unsigned char *record, bool valid);
json bootopts_raw();  // decoded raw record, valid or not
void print_bootopts(const json &b);

}  // namespace mfgtool

#endif
