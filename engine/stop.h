// The end of a run on an error: the caller prints what went wrong, this prints
// the stop line and leaves with exit status 1.
#ifndef VENTARQUILLO_ENGINE_STOP_H
#define VENTARQUILLO_ENGINE_STOP_H

[[noreturn]] void kill_VENTARQUILLO();

#endif
