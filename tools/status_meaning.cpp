// What the status codes of libmfg's exported functions mean, in the words the
// tool's failure messages use.
#include "status_meaning.h"

#include <cstring>
#include <map>

#include "tool.h"

namespace mfgtool {

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

}  // namespace mfgtool
