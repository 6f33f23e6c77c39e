// The boot loader's option record: decoding, printing, and a rewrite that is
// checked against what the options ask for and what the record held.
#include <algorithm>
#include <cctype>
#include <iostream>

#include "big_endian.h"
#include "bootopts.h"
#include "field_write.h"
#include "mfg.h"
#include "tool.h"

namespace mfgtool {

namespace {

constexpr const char *kBootDev = "/dev/tqrd.rbootcfg";

std::string field_text(const unsigned char *p, std::size_t size) {
    const auto *end = std::find(p, p + size, 0);
    return std::string(reinterpret_cast<const char *>(p), static_cast<std::size_t>(end - p));
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Command lines hold carriage returns; show them escaped.
std::string printable(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (std::isprint(static_cast<unsigned char>(c)))
            out += c;
        else
            out += '?';
    }
    return out;
}

}  // namespace

json decode_bootopts(const unsigned char *b, bool valid) {
    json j;
    j["flash_cmd"] = field_text(b + MFG_BOOTOPTS_OFF_FLASH_CMD, MFG_BOOTOPTS_CMD_SIZE);
    j["ram_cmd"] = field_text(b + MFG_BOOTOPTS_OFF_RAM_CMD, MFG_BOOTOPTS_CMD_SIZE);
    const std::string flash = j["flash_cmd"];
    j["console"] = flash.find("console=ttyS0") != std::string::npos   ? "ttyS0"
                   : flash.find("console=ttyS1") != std::string::npos ? "ttyS1"
                                                                      : "unknown";
    j["flag"] = be32(b + MFG_BOOTOPTS_OFF_FLAG);
    j["version"] = field_text(b + MFG_BOOTOPTS_OFF_VERSION, MFG_BOOTOPTS_VERSION_SIZE);
    j["checksum"] = be32(b + MFG_BOOTOPTS_OFF_CHECKSUM);
    j["checksum_valid"] = valid;
    return j;
}

void bootopts_check(const BootSettings &s) {
    if (!s.console.empty() && s.console != "ttyS0" && s.console != "ttyS1")
        throw UsageError("console must be ttyS0 or ttyS1, not \"" + s.console + "\"");
    if (s.keep_ram && s.keep_flash)
        throw UsageError("keeping both command lines is refused: nothing could change");
    if (s.append.size() >= MFG_BOOTOPTS_CMD_SIZE)
        throw UsageError("the appended text must be shorter than a command line (1024 bytes)");
}

json bootopts_raw() {
    mfg_bootopts rec{};
    if (mfg_get_bootopts(&rec) == 0) return decode_bootopts(rec.bytes, true);
    mfg_read_flashpart(kBootDev, rec.bytes, sizeof rec.bytes);
    return decode_bootopts(rec.bytes, false);
}

void print_bootopts(const json &b) {
    std::cout << "flash command line: " << printable(b["flash_cmd"]) << '\n'
              << "RAM command line:   " << printable(b["ram_cmd"]) << '\n'
              << "console:            " << b["console"].get<std::string>() << '\n'
              << "flag:               " << b["flag"].get<unsigned>() << '\n'
              << "version:            " << printable(b["version"]) << '\n'
              << "checksum:           0x" << std::hex << b["checksum"].get<unsigned>() << std::dec
              << '\n'
              << (b["checksum_valid"].get<bool>() ? "Checksum is valid" : "Checksum is not valid")
              << '\n';
}

bool bootopts_set(UnitWriter &w, const BootSettings &s) {
    bootopts_check(s);
    const Reading cur = w.known().get(Field::kBoot);
    // The library takes a record it cannot read for an invalid one and writes its defaults.
    if (cur.state == State::kUnreadable)
        fail(w.op(), state_text(Field::kBoot, cur) +
                         ": the library would replace it with its defaults; nothing written");
    const bool valid = cur.state == State::kValue;
    const json before = valid ? decode_bootopts(cur.value.data(), true) : json();
    // A text already ending a command line is not appended again.
    const auto appends = [&](const char *line, bool kept) {
        return s.has_append && !kept &&
               !(valid && s.console.empty() && ends_with(before[line], s.append));
    };
    const bool app_flash = appends("flash_cmd", s.keep_flash),
               app_ram = appends("ram_cmd", s.keep_ram);
    bool keep_flash = s.keep_flash, keep_ram = s.keep_ram;
    if (s.console.empty() && app_flash != app_ram) (app_flash ? keep_ram : keep_flash) = true;
    const bool flag_changes = s.set_flag && !(valid && before["flag"] == 1u);
    if (valid && s.console.empty() && !app_flash && !app_ram && !flag_changes) return false;

    unsigned flags = 0;
    if (s.console == "ttyS0") flags |= MFG_BOOT_CONSOLE_TTYS0;
    if (s.console == "ttyS1") flags |= MFG_BOOT_CONSOLE_TTYS1;
    if (app_flash || app_ram) flags |= MFG_BOOT_APPEND_TEXT;
    if (s.set_flag) flags |= MFG_BOOT_SET_FLAG;
    if (keep_ram) flags |= MFG_BOOT_KEEP_RAM_CMD;
    if (keep_flash) flags |= MFG_BOOT_KEEP_FLASH_CMD;
    auto check = [&](const Reading &now) -> std::string {
        if (now.state != State::kValue) return state_text(Field::kBoot, now) + " after the write";
        const json after = decode_bootopts(now.value.data(), true);
        const unsigned want_flag = s.set_flag ? 1u : (valid ? before["flag"].get<unsigned>() : 0u);
        if (after["flag"].get<unsigned>() != want_flag) return "the flag read back differs";
        const std::pair<const char *, bool> lines[] = {{"flash_cmd", keep_flash},
                                                       {"ram_cmd", keep_ram}};
        for (const auto &[name, kept] : lines) {
            const std::string now_text = after[name];
            const bool app = name[0] == 'f' ? app_flash : app_ram;
            if (valid && (kept || (s.console.empty() && !app)) && now_text != before[name])
                return std::string(name) + " changed although it was to stay";
            if (!kept && !s.console.empty() &&
                now_text.find("console=" + s.console + ",") == std::string::npos)
                return std::string(name) + " read back without console " + s.console;
            if (app && !ends_with(now_text, s.append))
                return std::string(name) + " read back without the appended text";
        }
        return "";
    };
    w.write({Field::kBoot, "mfg_set_bootopts",
             [flags, &s] { return mfg_set_bootopts(flags, s.append.c_str()); }, check});
    return true;
}

}  // namespace mfgtool
