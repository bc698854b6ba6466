// The driver's stop: after its own message, every error that the driver
// detects ends the run here with the stop line and exit status 1.
#ifndef VENTARQUILLO_ENGINE_STOP_H
#define VENTARQUILLO_ENGINE_STOP_H

[[noreturn]] void kill_VENTARQUILLO();

#endif
