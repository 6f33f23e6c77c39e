// mfgtool: the factory records (serial numbers, model, MAC block,
// client-authentication data and key) read and written through the library.
#ifndef MFGTOOL_RECORDS_H
#define MFGTOOL_RECORDS_H

#include <cstddef>
#include <string>

#include "tool.h"

namespace mfgtool {

class UnitWriter;

// What a change of a serial number does to a client-auth key stored under it.
enum class KeyBinding {
    kRefuse,  // refuse the change while the key decrypts
    kRekey,   // write the key again under the new serial numbers
    kDrop,    // change anyway (--force), or the key is written afterwards
};
// From --rekey and --force.
KeyBinding key_binding();
// "stored and verified", or "written (not verified)" under --no-verify.
std::string written_text();

// Record commands; each throws on failure. Values are checked and written
// through the library, then every field the write could touch is read back.
std::string serial_get(const std::string &op);
void serial_set(UnitWriter &w, const std::string &value, KeyBinding kb);
std::string oem_get(const std::string &op);  // throws when none can be read
void oem_check(const std::string &value);
void oem_set(UnitWriter &w, const std::string &value, KeyBinding kb);
std::string model_get(const std::string &op);
Bytes macs_get(const std::string &op);
void macs_set(UnitWriter &w, const Bytes &macs);
Bytes auth_get(const std::string &op, bool key);
void auth_set(UnitWriter &w, bool key, const Bytes &data);
// Prints whether the record is there: 0 present (the key: and decrypts), 1 not;
// throws when it cannot be read.
int auth_has(const std::string &op, bool key);
void auth_check_size(bool key, std::size_t size);

}  // namespace mfgtool

#endif
