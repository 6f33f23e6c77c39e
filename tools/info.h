// mfgtool: the slot the unit runs from and the summary of the unit.
#ifndef MFGTOOL_INFO_H
#define MFGTOOL_INFO_H

#include <string>

#include "tool.h"

namespace mfgtool {

class Snapshot;

std::string running_slot();
json unit_info(Snapshot &s);
// Prints the summary; 1 when a field could not be read.
int info_command();

}  // namespace mfgtool

#endif
