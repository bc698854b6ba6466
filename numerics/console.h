// Console text and the stop of the run, routed per thread.
//
// By default consoleOut() and consoleErr() are standard output and standard
// error, and stopRun() ends the process with status 1.  A caller that runs
// work on several threads at once and wants each piece's console text kept
// apart (to write it out later, in an order of its own) installs a
// ConsoleSink on the thread that runs the piece: while it is installed, the
// console text of that thread goes to the sink's streams, and a stop on that
// thread is handed to the sink, which decides how the process ends.
#ifndef VENTARQUILLO_NUMERICS_CONSOLE_H
#define VENTARQUILLO_NUMERICS_CONSOLE_H

#include <cstdio>

// Where the console text of a thread goes while installed, and what a stop
// on that thread does.
class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    virtual std::FILE* out() = 0;
    virtual std::FILE* err() = 0;
    // Called by stopRun on the sink's thread after the stop's message has
    // been written; pause is true for a stop from nrerror, which also runs
    // "pause".  Never returns: the sink's owner ends the process.
    [[noreturn]] virtual void stop(bool pause) = 0;
};

// The sink of the calling thread, or null.
ConsoleSink* currentConsoleSink();
// Installs (or, with null, removes) the sink of the calling thread.
void setConsoleSink(ConsoleSink* sink);

// Standard output and standard error, or the streams of this thread's sink.
std::FILE* consoleOut();
std::FILE* consoleErr();

// Ends the run with status 1 once the message of the error has been written.
// With a sink on this thread the sink's stop takes over.  Otherwise the exit
// hook (if one is set) runs first; then, with pause, standard output is
// flushed and the command "pause" is handed to the command interpreter (its
// outcome plays no part); then the process exits with status 1.
[[noreturn]] void stopRun(bool pause = false);

// A function that stopRun calls before it ends the process on a thread
// without a sink (an owner of worker threads uses it to let them come to
// rest); null removes it.
void setStopHook(void (*hook)());

// The end of a stop, for a sink's owner: optionally "pause", then exit 1.
[[noreturn]] void endProcessAfterStop(bool pause);

// While alive, `release` is registered on the calling thread: when a stop on
// a thread with a sink hands over to the sink, the thread is kept where it
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
