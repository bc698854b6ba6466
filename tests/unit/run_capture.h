// Test helpers: temporary input files, and running a piece of code in a child
// process with its standard output captured (for routines that stop the run).
#ifndef VENTARQUILLO_TESTS_RUN_CAPTURE_H
#define VENTARQUILLO_TESTS_RUN_CAPTURE_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

// A file in /tmp with the given bytes, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& bytes) {
        char path[] = "/tmp/vq_test_XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
                if (w <= 0) break;
                done += static_cast<std::size_t>(w);
            }
            close(fd);
        }
        path_ = path;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The whole content of a file ("" when it cannot be read).
inline std::string fileText(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
        std::fclose(f);
    }
    return text;
}

// Runs fn() in a child process whose standard output goes to a file; returns
// that output and stores the exit status (0 when fn returns normally, -1 when
// the child was killed by a signal).
template <typename F>
std::string runCaptured(F fn, int* status) {
    std::fflush(stdout);
    char path[] = "/tmp/vq_out_XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen(path, "w", stdout) == nullptr) _exit(99);
        fn();
        std::fflush(stdout);
        _exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::string text = fileText(path);
    std::remove(path);
    return text;
}

// While alive, standard output goes to /dev/null (for routines that print
// progress lines the test does not look at).
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, 1);
            close(null_fd);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};

inline const char* kStopLine = "\nVENTARQUILLO was stopped due to error(s) listed above.\n\n";

#endif
