#include "support/board_test.h"

#include "support/syslog_file.h"

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace mfgtest {
namespace {

int remove_entry(const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }

void remove_tree(const std::string &dir) {
    if (!dir.empty()) ::nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Lines of the system logger's file up to clear_syslog() are not the test's.
std::size_t logger_lines_seen = 0;

bool needs_board(const char *what) {
    if (!real_devices()) return false;
    ADD_FAILURE() << what << " needs the simulated board (MFGTEST_REAL_DEVICES=1)";
    return true;
}

}  // namespace

bool real_devices() {
    const char *v = std::getenv("MFGTEST_REAL_DEVICES");
    return v && std::string(v) == "1";
}

void BoardTest::SetUp() {
    if (real_devices()) {
        clear_syslog();
        return;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/mfgboard.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(::mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    ASSERT_EQ(mfgsim_create(dir_.c_str(), nullptr), 0);
}

void BoardTest::TearDown() {
    if (!violations_expected_ && !real_devices()) {
        EXPECT_EQ(mfgsim_total_violations(), 0u)
            << "NAND rules violated, see " << dir_ << "/violations.log";
    }
    mfgsim_clear_faults();
    if (!HasFailure()) remove_tree(dir_);
}

void BoardTest::use_board(const char *conf) {
    if (needs_board("use_board")) return;
    ASSERT_EQ(mfgsim_create(dir_.c_str(), conf), 0);
}

std::string BoardTest::path(const std::string &rel) const {
    return (real_devices() ? "" : dir_) + "/" + rel;
}

Bytes BoardTest::flash(const char *part) const {
    if (needs_board("flash")) return {};
    const char *f = mfgsim_part_file(part);
    EXPECT_NE(f, nullptr) << part;
    return f ? read_file(f) : Bytes{};
}

void BoardTest::plant(const char *part, unsigned offset, const Bytes &bytes) const {
    if (needs_board("plant")) return;
    const char *f = mfgsim_part_file(part);
    ASSERT_NE(f, nullptr) << part;
    int fd = ::open(f, O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

void BoardTest::fill(const char *part, unsigned char value) const {
    if (needs_board("fill")) return;
    unsigned size = 0, erasesize = 0;
    int type = 0;
    ASSERT_EQ(mfgsim_part_geometry(part, &size, &erasesize, &type), 0);
    plant(part, 0, Bytes(size, value));
}

std::vector<std::string> BoardTest::syslog() const {
    std::vector<std::string> lines;
    if (real_devices()) {
        const std::vector<std::string> all = logger_file_lines();
        lines.assign(all.begin() + static_cast<long>(std::min(logger_lines_seen, all.size())),
                     all.end());
        return lines;
    }
    std::ifstream in(mfgsim_syslog_file());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void BoardTest::clear_syslog() const {
    if (real_devices())
        logger_lines_seen = logger_file_lines().size();
    else
        std::ofstream out(mfgsim_syslog_file(), std::ios::trunc);
}

mfgsim_stats BoardTest::stats(const char *part) const {
    mfgsim_stats s{};
    if (needs_board("stats")) return s;
    EXPECT_EQ(mfgsim_get_stats(part, &s), 0) << part;
    return s;
}

std::string err_line(const std::string &text) { return "<3> " + text; }
std::string info_line(const std::string &text) { return "<6> " + text; }

StderrCapture::StderrCapture() {
    (void)std::fflush(stderr);
    char name[] = "/tmp/mfgstderr.XXXXXX";
    file_ = ::mkstemp(name);
    if (file_ >= 0) ::unlink(name);
    saved_ = ::dup(2);
    if (file_ >= 0) ::dup2(file_, 2);
}

StderrCapture::~StderrCapture() { text(); }

std::string StderrCapture::text() {
    if (done_) return captured_;
    done_ = true;
    (void)std::fflush(stderr);
    if (saved_ >= 0) {
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    if (file_ >= 0) {
        ::lseek(file_, 0, SEEK_SET);
        char buf[4096];
        ssize_t n;
        while ((n = ::read(file_, buf, sizeof buf)) > 0)
            captured_.append(buf, static_cast<size_t>(n));
        ::close(file_);
    }
    return captured_;
}

}  // namespace mfgtest
