// Factory records, boot options and the unit summary. Every write goes
// through the library and is read back through it: the store is written back
// after the library has already returned its status, so only the read-back
// shows whether a record stuck.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>

#include "mfg.h"
#include "tool.h"

namespace mfgtool {

namespace {

constexpr std::size_t kTextBuf = 100;        // the library's own serial buffers
constexpr std::size_t kKeyMax = 6144 - 16;   // AES-CBC padding must fit a section
constexpr std::size_t kAuthBuf = 6144 + 16;  // room for a key's ciphertext

[[noreturn]] void did_not_stick(const std::string &op, const std::string &detail) {
    fail(op, "the write did not stick: " + detail);
}

std::string upper(std::string s) {
    for (char &c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::uint32_t be32(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::string field_text(const unsigned char *p, std::size_t size) {
    const auto *end = std::find(p, p + size, 0);
    return std::string(reinterpret_cast<const char *>(p), static_cast<std::size_t>(end - p));
}

json decode_bootopts(const mfg_bootopts &rec, bool valid) {
    const unsigned char *b = rec.bytes;
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

std::string serial_get(const std::string &op) {
    char buf[kTextBuf] = {};
    const int st = mfg_read_serial(buf, sizeof buf);
    if (st != 0) fail_status(op, "mfg_read_serial", st);
    return field_text(reinterpret_cast<unsigned char *>(buf), sizeof buf);
}

void serial_set(const std::string &op, const std::string &value) {
    const std::string kept = alnum_only(value);
    if (mfg_valid_serial(kept.c_str()) != 1)
        throw UsageError(op + ": \"" + value + "\": " + meaning("mfg_write_serial", -2));
    int st;
    {
        StderrRelay relay;
        st = mfg_write_serial(value.c_str());
    }
    if (st != 0) fail_status(op, "mfg_write_serial", st);
    if (!opt.verify) return;
    char buf[kTextBuf] = {};
    const int rd = mfg_read_serial(buf, sizeof buf);
    if (rd != 0)
        did_not_stick(op, "mfg_read_serial returned " + std::to_string(rd) + ": " +
                              meaning("mfg_read_serial", rd));
    if (upper(buf) != upper(kept)) {
        struct stat st_override {};
        const bool overridden = stat("/etc/tq/serial", &st_override) == 0;
        did_not_stick(op, std::string("read back ") + buf + ", expected " + upper(kept) +
                              (overridden ? " (/etc/tq/serial overrides the stored serial)" : ""));
    }
}

std::string oem_get() {
    char buf[kTextBuf] = {};
    mfg_read_oem_serial(buf, sizeof buf);
    std::string s = field_text(reinterpret_cast<unsigned char *>(buf), sizeof buf);
    // An erased partition reads as 0xFF bytes: no OEM serial.
    if (std::any_of(s.begin(), s.end(),
                    [](char c) { return !std::isprint(static_cast<unsigned char>(c)); }))
        return "";
    return s;
}

void oem_check(const std::string &value) {
    const std::size_t n = alnum_only(value).size();
    if (n == 0 || n >= kTextBuf)
        throw UsageError("OEM serial \"" + value + "\" has " + std::to_string(n) +
                         " letters and digits; 1 to " + std::to_string(kTextBuf - 1) +
                         " are kept (it is read back into 100-byte buffers)");
}

void oem_set(const std::string &op, const std::string &value) {
    oem_check(value);
    int st;
    {
        StderrRelay relay;
        st = mfg_write_oem_serial(value.c_str());
    }
    if (st != 0) fail_status(op, "mfg_write_oem_serial", st);
    if (!opt.verify) return;
    const std::string back = oem_get();
    if (back != alnum_only(value))
        did_not_stick(op, "read back \"" + back + "\", expected \"" + alnum_only(value) + "\"");
}

std::string model_get(const std::string &op) {
    char buf[kTextBuf] = {};
    const int st = mfg_read_model(buf, sizeof buf);
    if (st != 0) fail_status(op, "mfg_read_model", st);
    return field_text(reinterpret_cast<unsigned char *>(buf), sizeof buf);
}

Bytes macs_get(const std::string &op) {
    Bytes buf(MFG_MACS_SIZE);
    const int st = mfg_read_macs(buf.data());
    if (st != 0) fail_status(op, "mfg_read_macs", st);
    return buf;
}

void macs_set(const std::string &op, const Bytes &macs) {
    if (macs.size() != MFG_MACS_SIZE)
        throw UsageError(op + ": the MAC block is " + std::to_string(MFG_MACS_SIZE) +
                         " bytes, got " + std::to_string(macs.size()));
    int st;
    {
        StderrRelay relay;
        st = mfg_write_macs(macs.data());
    }
    if (st != 0) fail_status(op, "mfg_write_macs", st);
    if (!opt.verify) return;
    Bytes back(MFG_MACS_SIZE);
    const int rd = mfg_read_macs(back.data());
    if (rd != 0)
        did_not_stick(op, "mfg_read_macs returned " + std::to_string(rd) + ": " +
                              meaning("mfg_read_macs", rd));
    if (back != macs) did_not_stick(op, "the MAC block read back differs");
}

void auth_check_size(bool key, std::size_t size) {
    const std::size_t max = key ? kKeyMax : static_cast<std::size_t>(MFG_CLIENT_AUTH_MAX);
    if (size == 0 || size > max)
        throw UsageError(std::string(key ? "client-auth key" : "client-auth data") + " is " +
                         std::to_string(size) + " bytes; 1 to " + std::to_string(max) +
                         " fit the store");
}

Bytes auth_get(const std::string &op, bool key) {
    Bytes buf(kAuthBuf);
    int len = MFG_CLIENT_AUTH_MAX;
    const int st = key ? mfg_read_client_authdata_key(buf.data(), &len)
                       : mfg_read_client_authdata(buf.data(), &len);
    if (st != 0)
        fail_status(op, key ? "mfg_read_client_authdata_key" : "mfg_read_client_authdata", st);
    if (len < 0 || static_cast<std::size_t>(len) > buf.size())
        fail(op, "the library delivered an impossible length " + std::to_string(len));
    buf.resize(static_cast<std::size_t>(len));
    return buf;
}

void auth_set(const std::string &op, bool key, const Bytes &data) {
    auth_check_size(key, data.size());
    const int len = static_cast<int>(data.size());
    int st;
    {
        StderrRelay relay;
        st = key ? mfg_write_client_authdata_key(data.data(), len)
                 : mfg_write_client_authdata(data.data(), len);
    }
    if (st != 0)
        fail_status(op, key ? "mfg_write_client_authdata_key" : "mfg_write_client_authdata", st);
    if (!opt.verify) return;
    Bytes back;
    try {
        back = auth_get(op, key);
    } catch (const OpError &e) {
        did_not_stick(op, e.what());
    }
    if (back != data) did_not_stick(op, "the record read back differs");
}

bool auth_has(bool key) {
    return (key ? mfg_have_client_authdata_key() : mfg_have_client_authdata()) == 0;
}

void bootopts_check(const BootSettings &s) {
    if (!s.console.empty() && s.console != "ttyS0" && s.console != "ttyS1")
        throw UsageError("console must be ttyS0 or ttyS1, not \"" + s.console + "\"");
    if (s.keep_ram && s.keep_flash)
        throw UsageError("keeping both command lines is refused: nothing could change");
    if (s.append.size() >= MFG_BOOTOPTS_CMD_SIZE)
        throw UsageError("the appended text must be shorter than a command line (1024 bytes)");
}

json bootopts_get(const std::string &op) {
    mfg_bootopts rec{};
    const int st = mfg_get_bootopts(&rec);
    if (st != 0) fail_status(op, "mfg_get_bootopts", st);
    return decode_bootopts(rec, true);
}

json bootopts_raw() {
    mfg_bootopts rec{};
    if (mfg_get_bootopts(&rec) == 0) return decode_bootopts(rec, true);
    mfg_read_flashpart("/dev/tqrd.rbootcfg", rec.bytes, sizeof rec.bytes);
    return decode_bootopts(rec, false);
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

void bootopts_set(const std::string &op, const BootSettings &s) {
    bootopts_check(s);
    unsigned flags = 0;
    if (s.console == "ttyS0") flags |= MFG_BOOT_CONSOLE_TTYS0;
    if (s.console == "ttyS1") flags |= MFG_BOOT_CONSOLE_TTYS1;
    if (s.has_append) flags |= MFG_BOOT_APPEND_TEXT;
    if (s.set_flag) flags |= MFG_BOOT_SET_FLAG;
    if (s.keep_ram) flags |= MFG_BOOT_KEEP_RAM_CMD;
    if (s.keep_flash) flags |= MFG_BOOT_KEEP_FLASH_CMD;
    mfg_bootopts rec{};
    const bool had = mfg_get_bootopts(&rec) == 0;
    const json before = decode_bootopts(rec, had);
    int st;
    {
        StderrRelay relay;
        st = mfg_set_bootopts(flags, s.append.c_str());
    }
    if (st != 0) fail_status(op, "mfg_set_bootopts", st);
    if (!opt.verify) return;
    json after;
    try {
        after = bootopts_get(op);
    } catch (const OpError &e) {
        did_not_stick(op, e.what());
    }
    const unsigned want_flag = s.set_flag ? 1u : (had ? before["flag"].get<unsigned>() : 0u);
    if (after["flag"].get<unsigned>() != want_flag) did_not_stick(op, "the flag read back differs");
    const std::pair<const char *, bool> fields[] = {{"flash_cmd", s.keep_flash},
                                                    {"ram_cmd", s.keep_ram}};
    for (const auto &[name, kept] : fields) {
        const std::string now = after[name];
        const bool changes = !kept && (!s.console.empty() || s.has_append);
        if (had && !changes && now != before[name].get<std::string>())
            did_not_stick(op, std::string(name) + " changed although it was to stay");
        if (!kept && !s.console.empty() &&
            now.find("console=" + s.console + ",") == std::string::npos)
            did_not_stick(op, std::string(name) + " read back without console " + s.console);
        if (!kept && s.has_append &&
            (now.size() < s.append.size() ||
             now.compare(now.size() - s.append.size(), s.append.size(), s.append) != 0))
            did_not_stick(op, std::string(name) + " read back without the appended text");
    }
}

void print_info(const json &j) {
    const auto show = [&](const char *key) {
        return j[key].is_string() && j[key] != "" ? j[key].get<std::string>()
                                                  : std::string("(not stored)");
    };
    const auto line = [](const char *label, const std::string &value) {
        std::cout << label << std::string(17 - std::strlen(label), ' ') << value << '\n';
    };
    const json &b = j["bootopts"];
    line("serial:", show("serial") + (!j["serial"].is_string()        ? ""
                                      : j["serial_valid"].get<bool>() ? " (valid)"
                                                                      : " (not valid)"));
    line("OEM serial:", show("oem_serial"));
    line("model:",
         show("model") + (j["model_is_default"].get<bool>() ? " (default: no serial number)" : ""));
    line("MAC block:",
         j["macs"].is_string() ? show("macs").substr(0, 24) + "... (220 bytes)" : "(not stored)");
    line("client-auth:", j["client_auth"].get<bool>() ? "present" : "absent");
    line("client-auth key:", j["client_auth_key"].get<bool>() ? "present" : "absent");
    line("boot options:", !b["checksum_valid"].get<bool>()
                              ? "no valid record"
                              : "console " + b["console"].get<std::string>() + ", flag " +
                                    std::to_string(b["flag"].get<unsigned>()) + ", version " +
                                    b["version"].get<std::string>() + ", checksum valid");
    line("running slot:", show("slot"));
}

std::string running_slot() {
    if (in_pending()) return "pending";
    return in_sysa() ? "a" : "b";
}

json unit_info() {
    json j;
    auto record = [&](const char *name, auto get) {
        try {
            j[name] = get();
        } catch (const OpError &e) {
            j[name] = nullptr;
            j["problems"].push_back(e.what());
        }
    };
    record("serial", [] { return serial_get("serial"); });
    j["serial_valid"] =
        j["serial"].is_string() && mfg_valid_serial(j["serial"].get<std::string>().c_str()) == 1;
    j["oem_serial"] = oem_get();
    char model[kTextBuf] = {};
    // Without a readable serial number the library answers its default model.
    j["model_is_default"] = mfg_read_model(model, sizeof model) != 0;
    j["model"] = field_text(reinterpret_cast<unsigned char *>(model), sizeof model);
    record("macs", [] {
        const Bytes m = macs_get("macs");
        return to_hex(m.data(), m.size());
    });
    j["client_auth"] = auth_has(false);
    j["client_auth_key"] = auth_has(true);
    j["bootopts"] = bootopts_raw();
    j["slot"] = running_slot();
    return j;
}

}  // namespace mfgtool
