#include <csignal>

#include "driver/run.h"

int main(int argc, char** argv) {
    // Past a file-size limit (ulimit -f) a write fails with EFBIG instead of
    // killing the process, so the run stops through its checked writes and
    // leaves only whole rows in the table and the logs.
    std::signal(SIGXFSZ, SIG_IGN);
    return run_ventarquillo(argc, argv);
}
