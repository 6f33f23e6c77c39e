// mfgtool: the kinds of failure and the settings every command shares, the
// input and output files, and the record commands. The tool reaches the flash
// only through the functions exported by libmfg.so.1.
#ifndef MFGTOOL_TOOL_H
#define MFGTOOL_TOOL_H

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mfgtool {

using Bytes = std::vector<unsigned char>;
using nlohmann::json;

// Wrong usage: exit status 2. The command line, or an input it names (file,
// standard input, manifest, backup) that cannot be read or does not hold what
// the command needs; found before anything is written.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A command line CLI11 could not parse; the message ends with a pointer to --help.
struct CommandLineError : UsageError {
    using UsageError::UsageError;
};
// The operation did not happen or did not stick: exit status 1.
struct OpError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Settings shared by every command.
struct Options {
    bool quiet = false;
    bool json = false;
    bool progress = false;
    bool verify = true;
    bool force = false;
    bool rekey = false;
    // Standard output carries the raw data of a '-' output: notes and JSON
    // then go to standard error.
    bool stdout_is_data = false;
    bool allow_empty = false;  // write an empty image (it only erases the partition)
};
extern Options opt;

// Throws OpError "OP: WHAT".
[[noreturn]] inline void fail(const std::string &op, const std::string &what) {
    throw OpError(op + ": " + what);
}

// While alive, whatever the process writes to stderr (the library prints some
// of its messages there without a newline) is forwarded, and a missing final
// newline is added when it ends, so that the next message starts its own line.
class StderrRelay {
public:
    StderrRelay();
    ~StderrRelay();
    StderrRelay(const StderrRelay &) = delete;
    StderrRelay &operator=(const StderrRelay &) = delete;

private:
    int saved_ = -1;
    int pipe_read_ = -1;
    struct Pump;
    std::unique_ptr<Pump> pump_;
};

// Whole file or stdin ("-"); refuses directories and files above max bytes.
// read_input reads what the user named (failure: UsageError), read_file what
// the tool itself made (failure: OpError).
Bytes read_input(const std::string &op, const std::string &path, std::size_t max);
Bytes read_file(const std::string &op, const std::string &path, std::size_t max);
// Throws UsageError unless path names an existing regular file.
void require_regular_input(const std::string &op, const std::string &path);
// Data to stdout ("-") or to a file created mode 0600 under a temporary name
// beside path and renamed over it; a symbolic link at path is refused.
void write_output(const std::string &op, const std::string &path, const Bytes &data);

// Reads the first len bytes of a partition node; fails when the device did
// not deliver all of them.
Bytes read_part(const std::string &op, const std::string &dev, std::size_t len);

class UnitWriter;
class Snapshot;

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

std::string running_slot();
json unit_info(Snapshot &s);
// Prints the summary; 1 when a field could not be read.
int info_command();

}  // namespace mfgtool

#endif
