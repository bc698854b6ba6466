// Direct and single-burden (T1, T5, MB) testing of one gene: build the burden
// (direct mode takes the genotype row as it is), check it, fit and score each
// trait and method block, then write the gene's result row and log records.
#ifndef VENTARQUILLO_DRIVER_BURDEN_TESTS_H
#define VENTARQUILLO_DRIVER_BURDEN_TESTS_H

#include "driver/gene_data.h"
#include "driver/options.h"
#include "driver/readers.h"

// Runs the test of the gene g prepared by the gene loop.  In test mode it
// first builds g.x_all and g.mac_all from the gene's variants (an additive
// burden whose weights sum to 0 gives the gene no row); in direct mode they
// hold the genotype row with g.index_NAscore marking the missing scores.
void runBurdenTest(const RunSettings& s, const RunData& d, GeneData& g);

#endif
