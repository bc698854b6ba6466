#include "engine/stop.h"

#include <cstdio>
#include <cstdlib>

[[noreturn]] void kill_VENTARQUILLO() {
    std::printf("\nVENTARQUILLO was stopped due to error(s) listed above.\n\n");
    std::exit(1);
}

[[noreturn]] void kill_DRENNIK() {
    std::printf("\nDRENNIK was stopped due to error(s) listed above.\n\n");
    std::exit(1);
}
