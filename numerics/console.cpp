#include "numerics/console.h"

#include <cstdlib>

namespace {

thread_local GeneConsole* gene_console = nullptr;
thread_local StopRelease* newest_release = nullptr;
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

StopRelease::StopRelease(void (*release)(void*), void* context)
    : release_(release), context_(context), previous_(newest_release) {
    newest_release = this;
}

StopRelease::~StopRelease() { newest_release = previous_; }

void stopRun(bool pause) {
    if (gene_console != nullptr) {
        for (StopRelease* r = newest_release; r != nullptr; r = r->previous_) r->release_(r->context_);
        newest_release = nullptr;
        gene_console->stop(pause);
    }
    if (stop_hook != nullptr) stop_hook();
    endProcessAfterStop(pause);
}
