// mfgtool part list: the partitions as a technician reads mtdinfo: node,
// name, type, size, erase size and bad blocks.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "images.h"
#include "mtd_node.h"
#include "output.h"

namespace mfgtool {

namespace {

// The appliance's MTD nodes and what each holds.
const std::pair<const char *, const char *> kNodes[] = {
    {"/dev/tqrd.cfg0", "configuration store (section reads)"},
    {"/dev/tqrd.rcfg0", "configuration store"},
    {"/dev/tqrd.rmfg", "OEM serial"},
    {"/dev/tqrd.rbootcfg", "boot options"},
    {"/dev/tqrd.rsysa_kernel", "system A kernel"},
    {"/dev/tqrd.rsysb_kernel", "system B kernel"},
    {"/dev/tqrd.rsysa_code", "system A code"},
};

std::string with_units(std::uint64_t bytes) {
    char buf[64];
    (void)std::snprintf(buf, sizeof buf, "%llu (%.1f KiB)", static_cast<unsigned long long>(bytes),
                        static_cast<double>(bytes) / 1024.0);
    return buf;
}

json describe(const std::string &dev, const std::string &name) {
    json j{{"node", dev}, {"name", name}};
    try {
        const MtdNode node("part list", dev);
        const MtdGeometry &g = node.geometry();
        const BadBlocks bad = node.bad_blocks();
        j["type"] = mtd_type_name(g.type);
        j["size"] = g.size;
        j["erase_size"] = g.erasesize;
        j["erase_blocks"] = g.blocks();
        // null: the driver keeps no bad-block information.
        j["bad_blocks"] = bad.known ? json(bad.list) : json(nullptr);
    } catch (const OpError &e) {
        j["error"] = e.what();
    }
    return j;
}

std::string bad_text(const json &j) {
    if (j["bad_blocks"].is_null()) return "unknown (no bad-block information)";
    if (j["type"] != "nand") return "-";
    if (j["bad_blocks"].empty()) return "none";
    std::string t = std::to_string(j["bad_blocks"].size()) + ":";
    for (const auto &b : j["bad_blocks"]) t += " " + std::to_string(b.get<unsigned>());
    return t;
}

}  // namespace

void part_list(const std::vector<std::string> &devs) {
    json list = json::array();
    if (devs.empty())
        for (const auto &[dev, name] : kNodes) list.push_back(describe(dev, name));
    for (const auto &dev : devs) {
        const auto *known = std::find_if(std::begin(kNodes), std::end(kNodes),
                                         [&dev](const auto &n) { return dev == n.first; });
        list.push_back(describe(dev, known != std::end(kNodes) ? known->second : ""));
    }
    bool all = true;
    for (const auto &j : list) all = all && !j.contains("error");
    if (opt.json) {
        print_json(list);
    } else {
        std::printf("%-24s %-36s %-5s %-22s %-22s %s\n", "NODE", "NAME", "TYPE", "SIZE",
                    "ERASE SIZE", "BAD BLOCKS");
        for (const auto &j : list) {
            const std::string node = j["node"], name = j["name"];
            if (j.contains("error")) {
                std::printf("%-24s %-36s %s\n", node.c_str(), name.c_str(),
                            j["error"].get<std::string>().c_str());
                continue;
            }
            const std::string type = j["type"];
            std::printf("%-24s %-36s %-5s %-22s %-22s %s\n", node.c_str(), name.c_str(),
                        type.c_str(), with_units(j["size"]).c_str(),
                        with_units(j["erase_size"]).c_str(), bad_text(j).c_str());
        }
    }
    std::cout.flush();
    if (!all) fail("part list", "some partitions could not be read");
}

}  // namespace mfgtool
