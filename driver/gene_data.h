// Everything the tests need about one gene: identifier and warnings, the
// selected variants (test mode), customized weights, the TDS records of the
// primary trait and the design matrices.  The gene loop fills it; the test
// may reorder subjects for a secondary trait, which rewrites the first n1p
// entries of y10 and the rows of z and z1.
#ifndef VENTARQUILLO_DRIVER_GENE_DATA_H
#define VENTARQUILLO_DRIVER_GENE_DATA_H

#include <string>
#include <vector>

struct GeneData {
    std::string geneID;  // first field of the result row and of the log records
    std::string warn;    // "." at the start of the gene, tokens appended by the tests

    // Flags of the burden check.
    int Low_MAI = 0;
    int singular_score = 0;
    int singular_covariates = 0;

    // Burden (or direct-mode score) and minor-allele count of every
    // sequenced subject, and the direct-mode flag of a missing score.
    std::vector<double> x_all;      // [n1]
    std::vector<int> mac_all;       // [n1]
    std::vector<int> index_NAscore; // [n1]

    // n1p subjects enter the gene's fits: every sequenced subject in test
    // mode, only those with a called score in direct mode.  n = n1p + N0 and
    // n10 = n1p + n0.
    int n1p = 0;
    int n = 0;
    int n10 = 0;
    double* y10 = nullptr;  // [n10] TdsRecords values; the first n1p are set by the test
    int* c10 = nullptr;     // [n10] record counts (MLE only)
    double** z = nullptr;   // [n1p][p] all model columns of the kept subjects
    double** z1 = nullptr;  // [n1p][pv[0]] primary model columns

    // Selected variants (test mode), in genotype-file order.
    int N_SNP = 0;
    std::vector<std::string> snpID;  // [N_SNP]
    double** snp = nullptr;          // [n1][N_SNP] values as read, kMissing = missing
    double* maf = nullptr;           // [N_SNP] frequency the variant carries in this gene
    double* snp_q = nullptr;         // [N_SNP] 1 - genotype-file frequency
    double* snp_mac = nullptr;       // [N_SNP] sum of called values
    int* snp_avc = nullptr;          // [N_SNP] called genotypes
    int* snp_het = nullptr;          // [N_SNP] heterozygous calls
    int* snp_alt = nullptr;          // [N_SNP] homozygous minor calls
    double* wt = nullptr;            // [N_SNP] additive burden weights

    // VT thresholds from the mapping file (VT and VC): thresh_len slots, all
    // 0.0 before use; n_thresh the number of mapping thresholds (0 without
    // them).
    double* thresh = nullptr;
    int thresh_len = 0;
    int n_thresh = 0;

    // Customized test: n_weight weight vectors over the gene's variants; a
    // variant without a weight row keeps 0.0.
    int n_weight = 0;
    double** customized_wt = nullptr;  // [n_weight][N_SNP]
};

#endif
