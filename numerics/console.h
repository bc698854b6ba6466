// Console text and the stop of the run, routed per thread.
//
// Outside a gene task (start-up, the end of the run, programs that call the
// routines directly) consoleOut() and consoleErr() are standard output and
// standard error, and stopRun() ends the process with status 1.  The gene
// loop runs its genes as tasks that may execute on several threads at once:
// it installs a GeneConsole on the thread of a task, which collects the
// task's console text, and a stop inside the task is handed to the loop,
// which writes the text of every earlier gene, then the text of the failed
// one, and ends the process exactly as a run on one thread would.
#ifndef VENTARQUILLO_NUMERICS_CONSOLE_H
#define VENTARQUILLO_NUMERICS_CONSOLE_H

#include <cstdio>

// What a gene task writes to and how its stop is handled.
class GeneConsole {
public:
    virtual ~GeneConsole() = default;
    virtual std::FILE* out() = 0;
    virtual std::FILE* err() = 0;
    // Called by stopRun inside the task after the stop's message has been
    // written; pause is true for a stop from nrerror, which also runs "pause".
    // Never returns: the gene loop ends the process.
    [[noreturn]] virtual void stop(bool pause) = 0;
};

// The console of this thread's gene task, or null.
GeneConsole* currentGeneConsole();
// Installs (or, with null, removes) the console of this thread's gene task.
void setGeneConsole(GeneConsole* console);

// Standard output and standard error, or the streams of the gene task.
std::FILE* consoleOut();
std::FILE* consoleErr();

// Ends the run with status 1 once the message of the error has been written.
// In a gene task the console's stop takes over.  Otherwise the exit hook (if
// one is set) runs first; then, with pause, standard output is flushed and
// the command "pause" is handed to the command interpreter (its outcome plays
// no part); then the process exits with status 1.
[[noreturn]] void stopRun(bool pause = false);

// A function that stopRun calls before it ends the process outside a gene
// task (the gene loop uses it to let its worker threads come to rest);
// null removes it.
void setStopHook(void (*hook)());

// The end of a stop, for the gene loop: optionally "pause", then exit 1.
[[noreturn]] void endProcessAfterStop(bool pause);

// While alive, `release` is registered on the calling thread: when a stop
// inside a gene task hands over to the gene loop, the thread is kept where it
// stopped, so it first runs the releases registered on it (newest first),
// for instance to wake threads that wait for work it had taken on.
class StopRelease {
public:
    StopRelease(void (*release)(void*), void* context);
    ~StopRelease();
    StopRelease(const StopRelease&) = delete;
    StopRelease& operator=(const StopRelease&) = delete;

private:
    void (*release_)(void*);
    void* context_;
    StopRelease* previous_;
    friend void stopRun(bool);
};

#endif
