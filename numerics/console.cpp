#include "numerics/console.h"

#include <cstdlib>

namespace {

thread_local GeneConsole* gene_console = nullptr;
void (*stop_hook)() = nullptr;

}  // namespace

GeneConsole* currentGeneConsole() { return gene_console; }

void setGeneConsole(GeneConsole* console) { gene_console = console; }

std::FILE* consoleOut() { return gene_console != nullptr ? gene_console->out() : stdout; }

std::FILE* consoleErr() { return gene_console != nullptr ? gene_console->err() : stderr; }

void setStopHook(void (*hook)()) { stop_hook = hook; }

void endProcessAfterStop(bool pause) {
    if (pause) {
        std::fflush(stdout);
        // The outcome of the command and whatever it prints play no part.
        [[maybe_unused]] int ignored = std::system("pause");
    }
    std::exit(1);
}

void stopRun(bool pause) {
    if (gene_console != nullptr) gene_console->stop(pause);
    if (stop_hook != nullptr) stop_hook();
    endProcessAfterStop(pause);
}
