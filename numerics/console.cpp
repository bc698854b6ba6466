#include "numerics/console.h"

#include <cstdlib>

namespace {

thread_local ConsoleSink* sink = nullptr;
thread_local StopRelease* newest_release = nullptr;
void (*stop_hook)() = nullptr;

}  // namespace

ConsoleSink* currentConsoleSink() { return sink; }

void setConsoleSink(ConsoleSink* s) { sink = s; }

std::FILE* consoleOut() { return sink != nullptr ? sink->out() : stdout; }

std::FILE* consoleErr() { return sink != nullptr ? sink->err() : stderr; }

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
    if (sink != nullptr) {
        for (StopRelease* r = newest_release; r != nullptr; r = r->previous_) r->release_(r->context_);
        newest_release = nullptr;
        sink->stop(pause);
    }
    if (stop_hook != nullptr) stop_hook();
    endProcessAfterStop(pause);
}
