// The loop over the genes (test mode) or over the genotype rows (direct mode),
// run once after the result table and the trait logs have been created.
#ifndef VENTARQUILLO_DRIVER_GENE_LOOP_H
#define VENTARQUILLO_DRIVER_GENE_LOOP_H

#include "driver/options.h"
#include "driver/readers.h"

// Analyses every gene and writes its result row and log records.
void runGeneLoop(const RunSettings& s, RunData& d);

#endif
