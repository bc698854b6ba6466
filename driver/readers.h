// Run-wide data and the start-up readers: sequenced phenotypes, covariate
// selection, non-sequenced phenotypes, genotypes and mapping, in this order,
// then the data summary.  Each reader writes its heading, sizes its file by a
// first pass (rows and tabs), parses it in a second pass, writes
// "successful", and stops the run with its message on bad input.
#ifndef VENTARQUILLO_DRIVER_READERS_H
#define VENTARQUILLO_DRIVER_READERS_H

#include <cstdio>
#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/text_input.h"
#include "driver/weight_file.h"

// Everything the readers fill, owned by the program's entry until the end of
// the run.  Numeric arrays are 0-based offset arrays (dvector, ivector,
// dmatrix); names are growable texts.  An array that the run does not need
// stays a null pointer.
struct RunData {
    // Sizing results (rows, columns) of the five files.
    long pheno1_NROW = 0, pheno1_NCOL = 0;
    long cov_NROW = 0, cov_NCOL = 0;
    long pheno2_NROW = 0, pheno2_NCOL = 0;
    long score_NROW = 0, score_NCOL = 0;
    long map_NROW = 0, map_NCOL = 0;

    int n1 = 0;      // sequenced subjects
    int p = 0;       // model columns: intercept plus covariates
    int N0 = 0;      // non-sequenced subjects
    int n0 = 0;      // non-sequenced records
    int N_SNP = 0;   // genotype-file rows
    int N_GENE = 0;  // genes of the mapping file, or genotype rows in direct mode
    double CRC_LB = 0.0;  // least number of called genotypes: n1 x CR_LB
    int maf_flag = 0;     // 1: two-column mapping file, frequencies from the genotypes
    int EXT_THRESH = 0;   // 1: four-column mapping file with VT thresholds

    // Sequenced phenotypes.
    double* seq_prim = nullptr;     // [n1]; all 0.0 under the random design
    double** sec = nullptr;         // [n1][N_SEC], kMissing = missing
    double** covariates = nullptr;  // [n1][p], column 0 = 1.0
    std::vector<std::string> traitHeader;  // [N_SEC+1]; [0] "" under the random design
    std::vector<std::string> logList;      // [2 N_SEC+1], filled by the trait-log creation
    std::vector<std::string> covariateNames;  // [p-1] covariate names of the header
    std::vector<long> seqLine;                // [n1] line of each subject's row in the file

    // Covariate selection.
    int* pv = nullptr;          // [N_SEC+1] model columns per trait
    double** cov_ind = nullptr; // [N_SEC+1][p-1], > 0.5 selects

    // Non-sequenced phenotypes (MLE only).
    double* nonseq_prim_unique = nullptr;  // [n0] used
    int* c0 = nullptr;                     // [n0] subjects per record

    // Genotypes.
    double* geno_AVC = nullptr;   // [N_SNP] called genotypes
    int* geno_HET = nullptr;      // [N_SNP] called values within 1e-6 of 1
    int* geno_ALT = nullptr;      // [N_SNP] called values within 1e-6 of 2
    double* geno_MAC = nullptr;   // [N_SNP] sum of called values (test mode)
    double* geno_maf = nullptr;   // [N_SNP] geno_MAC / (2 geno_AVC) (test mode)
    int* geno_singular = nullptr; // [N_SNP] 1 when all called values are equal (test mode)
    std::vector<std::string> geno_snpID;  // [N_SNP] row identifiers (test mode)
    std::vector<long long> geno_offset;   // [N_SNP] byte offset of each row in the genotype file

    // Mapping (test mode), sorted by gene identifier.  The identifier
    // pointers point into map_text.
    std::vector<char*> map_geneID, map_snpID;  // [map_NROW]
    std::vector<char> map_text;
    double* map_maf = nullptr;    // [map_NROW] (three or more columns)
    int* map_thresh = nullptr;    // [map_NROW] (four columns)

    // Customized test: the weight file, read once at start-up.
    WeightTable weights;

    // Direct mode: the genotype file, open for the gene loop.
    std::FILE* fi = nullptr;
};

// The five readers, in the order the run calls them.  The covariate-selection
// reader runs only with -cov, the non-sequenced reader only under MLE, the
// mapping reader only with a test; the run decides.
void readSequencedPhenotypes(const RunSettings& s, RunData& d);
void readCovariateSelection(const RunSettings& s, RunData& d);
void readNonsequencedPhenotypes(const RunSettings& s, RunData& d);
void readGenotypes(const RunSettings& s, RunData& d);
void readMapping(const RunSettings& s, RunData& d);

// How every reader starts: its heading line, then the sizing pass over the
// file, whose row and column counts are also kept in *rows and *columns.
FileShape beginReading(const char* heading, const std::string& path, const char* open_format, long* rows,
                       long* columns);

// "DATA SUMMARY:" with the design and the counts.
void printDataSummary(const RunSettings& s, const RunData& d);

// Called once the "START SCORE TEST" line is out.  Direct mode reads its
// genotype rows during the gene loop, so the file is opened here; a failure
// prints "Cannot open genotype file." and stops.  Per-gene arrays are the gene
// loop's own.
void allocateGeneArrays(const RunSettings& s, RunData& d);

// Closes the direct-mode genotype file and releases every array.
void releaseRunData(const RunSettings& s, RunData& d);

#endif
