// The whole run of the program, from the banner to the end line.
#ifndef VENTARQUILLO_DRIVER_RUN_H
#define VENTARQUILLO_DRIVER_RUN_H

// Runs the analysis described by the command line; returns the exit status of
// a complete run (0).  Every fatal error ends the process with status 1.
int run_ventarquillo(int argc, char** argv);

#endif
