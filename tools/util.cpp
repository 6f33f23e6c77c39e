// Status meanings, output streams and strict parsing of mfgtool.
#include "tool.h"

#include <cctype>
#include <cstring>
#include <iostream>
#include <map>

#include "mfg.h"

namespace mfgtool {

Options opt;

namespace {

std::string section_meaning(int status) {
    switch (status) {
        case -1:
            return "the configuration store could not be opened or loaded";
        case -2:
            return "the stored section fails its MD5 checksum";
        case -3:
            return "no valid section stored (wrong magic: erased, cleared or never written)";
        case -4:
            return "the stored section is longer than the buffer or its data is short";
        case -5:
            return "the store device could not be positioned or its section header read";
        default:
            return "unexpected status";
    }
}

std::string errno_meaning(int status) {
    if (status < 0 && status > -4096)
        return std::string("failed with errno ") + std::to_string(-status) + " (" +
               std::strerror(-status) + ")";
    return "unexpected status";
}

}  // namespace

std::string meaning(const std::string &fn, int status) {
    static const std::map<std::string, std::string> minus_one = {
        {"mfg_init_flashpart",
         "memory info, bad-block query or erase failed; the partition may "
         "be partly erased"},
        {"mfg_write_flashpart",
         "the partition was not written (erase, open, size or write "
         "failure); it is now erased or partly written"},
        {"mfg_write_image",
         "the image was not written (erase, input file, size or write "
         "failure); the partition is now erased or partly written"},
        {"mfg_write_kernel",
         "the image writer failed; the kernel partition is now erased or "
         "partly written"},
        {"mfg_write_macs", "no buffer, or the configuration store could not be opened or loaded"},
        {"mfg_write_serial",
         "null argument (EINVAL), or the configuration store could not be "
         "opened or loaded"},
        {"mfg_write_oem_serial",
         "the OEM partition was not written; it is now erased or partly "
         "written"},
        {"mfg_get_bootopts",
         "no valid boot options record (unreadable, erased, wrong magic or "
         "checksum mismatch)"},
        {"mfg_set_bootopts",
         "refused option combination, or the record could not be written "
         "(the partition may now hold no valid record)"},
        {"mfg_write_pending", "an update failed to install; later updates were not tried"},
    };
    if (status == 0) return "success";
    if (fn == "mfg_write_serial" && status == -2)
        return "not a valid serial number: 13 or 14 letters and digits, the last four the "
               "CRC-16 check digits of the first nine (errno EINVAL)";
    if (fn == "mfg_read_macs" || fn == "mfg_read_serial" || fn == "mfg_read_model")
        return section_meaning(status);
    if (fn == "mfg_write_kernelimage") {
        if (status == -1) return minus_one.at("mfg_write_kernel");
        return errno_meaning(status) +
               ": the temporary file in /pending was not made or not "
               "written in full";
    }
    if (fn == "mfg_create_pending_file") return errno_meaning(status);
    if (fn.rfind("mfg_have_client_authdata", 0) == 0)
        return "the record is absent or does not verify";
    if (fn == "mfg_read_client_authdata_key")
        return status == 2 ? "no valid key record stored"
                           : "the key record does not decrypt on this unit (stored under "
                             "other serial numbers?)";
    if (fn.rfind("mfg_write_client_authdata", 0) == 0)
        return "the configuration store could not be opened or loaded, the data is too long, or "
               "encryption failed";
    if (fn == "mfg_read_client_authdata")
        return "no valid client-authentication record, or the store could not be opened";
    auto it = minus_one.find(fn);
    if (status == -1 && it != minus_one.end()) return it->second;
    return "unexpected status";
}

void fail_status(const std::string &op, const std::string &fn, int status) {
    throw OpError(op + ": " + fn + " returned " + std::to_string(status) + ": " +
                  meaning(fn, status));
}

void fail(const std::string &op, const std::string &what) { throw OpError(op + ": " + what); }

void progress(const std::string &op, const std::string &text) {
    if (opt.progress) std::cerr << "mfgtool: " << op << ": " << text << std::endl;
}

void note(const std::string &text) {
    if (!opt.quiet && !opt.json) (opt.stdout_is_data ? std::cerr : std::cout) << text << '\n';
}

namespace {
bool printed_json = false;
}  // namespace

bool json_was_printed() { return printed_json; }

// Texts read from flash need not be UTF-8: invalid bytes are replaced, not thrown on.
void print_json(const json &j) {
    printed_json = true;
    (opt.stdout_is_data ? std::cerr : std::cout)
        << j.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

void data_output(const std::string &path) {
    if (path == "-") opt.stdout_is_data = true;
}

std::uint64_t parse_number(const std::string &what, const std::string &text, std::uint64_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    bool ok = !digits.empty();
    for (char c : digits)
        ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(c))
                        : std::isdigit(static_cast<unsigned char>(c)));
    std::uint64_t value = 0;
    for (std::size_t i = 0; ok && i < digits.size(); ++i) {
        unsigned d = std::isdigit(static_cast<unsigned char>(digits[i]))
                         ? static_cast<unsigned>(digits[i] - '0')
                         : static_cast<unsigned>(std::tolower(digits[i]) - 'a' + 10);
        const unsigned base = hex ? 16 : 10;
        if (value > (max - d) / base) {
            ok = false;
            break;
        }
        value = value * base + d;
    }
    if (!ok)
        throw UsageError(what + " must be a number from 0 to " + std::to_string(max) +
                         " (decimal or 0x hex), not \"" + text + "\"");
    return value;
}

Bytes parse_hex(const std::string &what, const std::string &text) {
    Bytes out;
    int hi = -1;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u) || c == ':') continue;
        if (!std::isxdigit(u))
            throw UsageError(
                what + ": not hexadecimal: " +
                (std::isprint(u) ? "'" + std::string(1, c) + "'" : "byte 0x" + to_hex(&u, 1)));
        const int v = std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<unsigned char>(hi * 16 + v));
            hi = -1;
        }
    }
    if (hi >= 0) throw UsageError(what + ": odd number of hex digits");
    return out;
}

std::string to_hex(const unsigned char *data, std::size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < len; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::string alnum_only(const std::string &text) {
    std::string out;
    for (char c : text)
        if (std::isalnum(static_cast<unsigned char>(c))) out += c;
    return out;
}

// mfg_read_flashpart reports nothing and leaves unread bytes as they were:
// reading into two buffers filled differently shows whether every byte came
// from the device.
Bytes read_part(const std::string &op, const std::string &dev, std::size_t len) {
    Bytes a(len, 0x00), b(len, 0xFF);
    mfg_read_flashpart(dev.c_str(), a.data(), static_cast<unsigned>(len));
    mfg_read_flashpart(dev.c_str(), b.data(), static_cast<unsigned>(len));
    if (a != b) {
        std::size_t i = 0;
        while (i < len && a[i] == b[i]) ++i;
        fail(op, dev + " delivered only " + std::to_string(i) + " of " + std::to_string(len) +
                     " bytes (no such partition, or shorter)");
    }
    return a;
}

void verify_part(const std::string &op, const std::string &dev, const Bytes &expected) {
    if (!opt.verify) {
        progress(op, "not verified (--no-verify)");
        return;
    }
    progress(op, "verifying " + std::to_string(expected.size()) + " bytes");
    const Bytes back = read_part(op, dev, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (back[i] != expected[i])
            fail(op, "read-back of " + dev + " differs at byte " + std::to_string(i) +
                         ": the write did not stick (on NAND a bad block shifts the data; "
                         "--no-verify skips the check)");
    progress(op, "verified " + std::to_string(expected.size()) + " bytes");
}

}  // namespace mfgtool
