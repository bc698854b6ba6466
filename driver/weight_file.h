// The weight file of the customized test, read from its start for every gene:
// rows "gene <tab> variant <tab> weight <tab> weight ...", the rows of a gene
// standing together.
#ifndef VENTARQUILLO_DRIVER_WEIGHT_FILE_H
#define VENTARQUILLO_DRIVER_WEIGHT_FILE_H

#include <cstdio>
#include <string>

#include "driver/gene_data.h"

// Reads characters up to and including the next line break, or to the end of
// the file; returns 1 when it stopped at the end of the file, else 0.
int skipLine(std::FILE* fi);

// Reads the weights of gene g.geneID for its selected variants g.snpID into
// g.customized_wt[n_weight][N_SNP] (a variant without a row keeps 0.0) and
// sets g.n_weight; a gene without rows, or none of whose rows names a
// selected variant, keeps n_weight 0.  The first row naming a selected
// variant fixes the number of weights; rows naming other variants are
// ignored.  Stops the run when the file cannot be opened, when that first
// row holds no weight (stop line only), when a later row of the gene holds
// another number of weights, and when a weight is not a number.
void readGeneWeights(const std::string& wfile, GeneData& g);

#endif
