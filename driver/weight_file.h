// Weights for the customized test.  The file is parsed and validated once at
// start-up; the resulting table never changes afterwards, so the gene threads
// share it without locking.
#ifndef VENTARQUILLO_DRIVER_WEIGHT_FILE_H
#define VENTARQUILLO_DRIVER_WEIGHT_FILE_H

#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/gene_data.h"

// The rows of the weight file in file order, with each gene's run of rows.
// Once read it is never changed, so any number of threads may look genes up
// at the same time.
struct WeightTable {
    std::vector<std::string> variant;  // [rows] variant identifier
    std::vector<std::size_t> at;       // [rows] position of the row's first weight in `weight`
    std::vector<double> weight;        // the weights, row after row
    struct Run {
        int first = 0;     // first row of the gene
        int count = 0;     // its number of rows
        int n_weight = 0;  // weights per row, the same on every row of the gene
    };
    std::unordered_map<std::string, Run> genes;
};

// Skips the rest of the current line, its line break included.  Returns 1 if
// the file ended first, 0 otherwise.
int skipLine(std::FILE* fi);

// Reads and checks the weight file in one pass.  Stops the run with a
// message naming the file (and the line) when it cannot be opened or read (a
// directory, say), has no row, has a blank line before its last row, has a
// row that is not tab-separated (a field for every tab) or holds no weight, a
// weight that is not a finite number, a gene whose rows do not stand together
// or whose rows differ in their number of weights.  A leading byte-order mark
// and carriage returns before the line breaks are skipped.
void readWeightFile(const std::string& wfile, WeightTable& table);

// Takes the weights of gene g.geneID for its selected variants g.snpID into
// g.customized_wt[n_weight][N_SNP] (a variant without a row keeps 0.0) and
// sets g.n_weight; a gene without rows, or none of whose rows names a
// selected variant, keeps n_weight 0.  Rows naming other variants are
// ignored; when several rows name one variant, the last one counts.  Reads
// the table only.
void readGeneWeights(const WeightTable& table, GeneData& g);

#endif
