// The multi-score tests of one gene: VT, VC and the customized test.
#ifndef VENTARQUILLO_DRIVER_MULTI_SCORE_TESTS_H
#define VENTARQUILLO_DRIVER_MULTI_SCORE_TESTS_H

#include "driver/gene_data.h"
#include "driver/options.h"
#include "driver/readers.h"

// Runs the VT, VC or customized test (s.DO_BURDEN kVT, kVC or kCustomized)
// of the gene g prepared by the gene loop, and writes its row and log
// records.  Genes may run on several threads at once.
void runMultiScoreTests(const RunSettings& s, const RunData& d, GeneData& g);

#endif
