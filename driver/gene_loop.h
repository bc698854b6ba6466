// The loop over the genes (test mode) or over the genotype rows (direct mode),
// run once after the result table and the trait logs have been created.
#ifndef VENTARQUILLO_DRIVER_GENE_LOOP_H
#define VENTARQUILLO_DRIVER_GENE_LOOP_H

#include "driver/options.h"
#include "driver/readers.h"

// Analyses every gene and writes its result row and log records.  Genes run
// on geneThreads() threads at once; whatever the number, every console line,
// result row and log record is written in gene order, byte for byte as on
// one thread, and a stop in gene k ends the run after the text of the genes
// before k and of gene k up to its stop.
void runGeneLoop(const RunSettings& s, RunData& d);

#endif
