// Commands that write partitions, images, kernels and pending updates, and the
// store backup.
#ifndef MFGTOOL_IMAGES_H
#define MFGTOOL_IMAGES_H

#include <string>
#include <vector>

#include "tool.h"

namespace mfgtool {

// Larger than any partition of the board.
inline constexpr std::size_t kFileMax = std::size_t{256} << 20;

// Refuses a write into the slot the unit is running from, unless --force; dev
// names the partition when it is not the slot's kernel.
void slot_guard(const std::string &op, char slot, const std::string &dev = "");
void part_erase(const std::string &op, const std::string &dev);
void part_write(const std::string &op, const std::string &dev, const std::string &file);
void image_write(const std::string &op, const std::string &dev, const std::string &file);
void kernel_write(const std::string &op, const std::string &file, char slot, bool is_signed,
                  bool buffer);
std::string pending_create(const std::string &op, const std::string &name, const std::string &file);
void pending_install(const std::string &op, const std::string &dir);
void store_backup(const std::string &op, const std::string &file);
void store_restore(const std::string &op, const std::string &file);
void part_list(const std::vector<std::string> &devs);
void reserved_call(const std::string &which, const std::vector<std::string> &args);

}  // namespace mfgtool

#endif
