#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "engine/library_extras.h"
#include "engine/stop.h"

namespace {

// Runs a stop routine in a child process and returns what it wrote on
// standard output, with its exit status.
std::string stdout_of(void (*stop)(), int* status) {
    std::fflush(stdout);
    char path[] = "/tmp/vq_stop_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen(path, "w", stdout);
        stop();
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::string text;
    if (FILE* f = std::fopen(path, "r")) {
        for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
        std::fclose(f);
    }
    std::remove(path);
    return text;
}

}  // namespace

TEST(Stop, StopLineIsBlankLineTextBlankLineAndStatusOne) {
    int status = 0;
    EXPECT_EQ(stdout_of(kill_VENTARQUILLO, &status), "\nVENTARQUILLO was stopped due to error(s) listed above.\n\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(stdout_of(kill_DRENNIK, &status), "\nDRENNIK was stopped due to error(s) listed above.\n\n");
    EXPECT_EQ(status, 1);
}
