#include "driver/output_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "engine/stop.h"
#include "numerics/console.h"

namespace {

thread_local OutputCapture* thread_capture = nullptr;

// The start-up creation of the outputs (main thread only): under way, and
// the files it made that did not exist before.
bool creating_outputs = false;
std::vector<std::string> made_outputs;

int openRetrying(const std::string& name, int flags) {
    int fd = -1;
    do {
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens a file for writing at its end, as fopen's "a" does (with O_TRUNC
// emptied first, as "w" does); the descriptor is not passed on to the shell
// command of the fatal-error path.  *made (when given) tells whether the
// open made the file.
int openOrStop(const std::string& name, int flags, bool* made = nullptr) {
    int fd = -1;
    if (made != nullptr) {
        *made = false;
        fd = openRetrying(name, flags | O_EXCL);
        if (fd >= 0) *made = true;
        else if (errno != EEXIST) fd = -1;
        else fd = openRetrying(name, flags);
    } else {
        fd = openRetrying(name, flags);
    }
    if (fd < 0) {
        const int error = errno;
        removeOutputsMadeSoFar();
        std::fprintf(consoleOut(), "Cannot create output file.\n");
        std::fprintf(consoleOut(), "Error: Cannot open output file '%s': %s.\n", name.c_str(), std::strerror(error));
        kill_VENTARQUILLO();
    }
    return fd;
}

}  // namespace

void setOutputCapture(OutputCapture* capture) { thread_capture = capture; }

OutputFile::OutputFile(std::string name, int fd, OutputCapture* capture, int id)
    : name_(std::move(name)), fd_(fd), capture_(capture), id_(id) {}

OutputFile OutputFile::append(const std::string& name) {
    if (OutputCapture* capture = thread_capture) return OutputFile(name, -1, capture, capture->opened(name));
    return OutputFile(name, openOrStop(name, 0), nullptr, -1);
}

OutputFile OutputFile::create(const std::string& name) {
    bool made = false;
    const int fd = openOrStop(name, O_TRUNC, &made);
    if (made && creating_outputs) made_outputs.push_back(name);
    return OutputFile(name, fd, nullptr, -1);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : name_(std::move(other.name_)), row_(std::move(other.row_)), fd_(other.fd_), capture_(other.capture_),
      id_(other.id_) {
    other.fd_ = -1;
    other.capture_ = nullptr;
    other.id_ = -1;
}

OutputFile::~OutputFile() { release(); }

void OutputFile::release() {
    if (capture_ != nullptr) capture_->closed(id_);
    if (fd_ >= 0) ::close(fd_);
    capture_ = nullptr;
    fd_ = -1;
    id_ = -1;
}

void OutputFile::print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char small[256];
    const int len = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (len < 0) {
        va_end(again);
        stopWriteFailed(name_, errno != 0 ? errno : EINVAL);
    }
    const auto n = static_cast<std::size_t>(len);
    if (n < sizeof small) {
        row_.append(small, n);
    } else {
        const std::size_t at = row_.size();
        row_.resize(at + n + 1);
        std::vsnprintf(&row_[at], n + 1, format, again);
        row_.resize(at + n);
    }
    va_end(again);
}

void OutputFile::endRow() {
    if (row_.empty()) return;
    if (capture_ != nullptr) {
        capture_->row(id_, row_);
        row_.clear();
        return;
    }
    // Where the file ends before the row; -1 for a pipe or a terminal, which
    // cannot be cut back.
    const long long whole_size = ::lseek(fd_, 0, SEEK_END);
    const char* from = row_.data();
    std::size_t left = row_.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, from, left);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) failed(errno, whole_size);
        if (written == 0) failed(EIO, whole_size);
        from += written;
        left -= static_cast<std::size_t>(written);
    }
    row_.clear();
}

void OutputFile::failed(int error, long long whole_size) {
    // Part of the row may have been written (a write cut short at the limit
    // of a file or a disk): the file goes back to its last whole row.  A
    // device such as /dev/full has nothing to cut back and refuses.
    if (whole_size >= 0) {
        const int cut = ::ftruncate(fd_, static_cast<off_t>(whole_size));
        static_cast<void>(cut);
    }
    stopWriteFailed(name_, error);
}

void OutputFile::close() {
    row_.clear();
    if (capture_ != nullptr) {
        capture_->closed(id_);
        capture_ = nullptr;
        id_ = -1;
        return;
    }
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    // Linux releases the descriptor also when close is interrupted.
    if (::close(fd) != 0 && errno != EINTR) stopWriteFailed(name_, errno);
}

void stopWriteFailed(const std::string& name, int error) {
    removeOutputsMadeSoFar();
    std::fprintf(consoleOut(), "Error: Cannot write output file '%s': %s.\n", name.c_str(), std::strerror(error));
    kill_VENTARQUILLO();
}

void beginOutputCreation() {
    creating_outputs = true;
    made_outputs.clear();
}

void endOutputCreation() {
    creating_outputs = false;
    made_outputs.clear();
}

void removeOutputsMadeSoFar() {
    if (!creating_outputs) return;
    for (const std::string& name : made_outputs) ::unlink(name.c_str());
    endOutputCreation();
}
