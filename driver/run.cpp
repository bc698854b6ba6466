#include "driver/run.h"

#include <cstdio>
#include <ctime>

#include "driver/options.h"

namespace {

// The local time in the 24-character calendar form, followed by a line break.
const char* calendar_now() {
    const std::time_t now = std::time(nullptr);
    return std::ctime(&now);
}

}  // namespace

int run_ventarquillo(int argc, char** argv) {
    print_banner();
    std::printf("\nVENTARQUILLO started: %s\n", calendar_now());
    std::printf("\n*----------------- Loading options...-----------------*\n");

    RunSettings settings;
    read_options(argc, argv, settings);
    apply_option_rules(settings);
    echo_settings(settings);

    std::printf("\n*----------------- END SCORE TEST -----------------*\n");
    std::printf("              %s", calendar_now());
    return 0;
}
