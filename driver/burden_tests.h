// The direct and single-burden tests of one gene: the burden of the gene
// (T1, T5, MB; in direct mode the genotype row itself), its quality check,
// the fits and score tests of every trait and method block, the p-values,
// the gene's row of the result table and its trait-log records.
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
