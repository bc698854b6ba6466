#include "engine/stop.h"

#include <cstdio>

#include "numerics/console.h"

[[noreturn]] void kill_VENTARQUILLO() {
    std::fprintf(consoleOut(), "\nVENTARQUILLO was stopped due to error(s) listed above.\n\n");
    stopRun();
}
