// Score columns of the multi-score builders and their quality check.
//
// Every multi-score builder codes a gene's genotypes as K columns (one per
// weight vector, variant or frequency threshold), checks them, and fills a
// ScoreSet with the scores and their covariance.  The shared parts live here:
//   - checkWarning2, the quality check of one column (also applied by the
//     driver to a single burden);
//   - the coding of one column into per-subject scores S[i] and minor-allele
//     counts mac[i], for each family and genetic model;
//   - dropping: a column that fails the check or has no positive variance
//     keeps a zero score, row and column and does not count in n_work.
// A builder supplies only its score and covariance formulas:
//
//   ScoreSet set{mac_thresh, mai_thresh, n_work, U, cov};
//   double** S = dmatrix(0, K - 1, 0, n - 1);   // K >= 1
//   int* null_thresh = ivector(0, K - 1);
//   buildCheckedColumns(src, K, n, n, p, z, MAI_LB, S, null_thresh, set);
//   clearScores(K, set);
//   if (*set.n_work >= 1) {
//       ... U[k], cov[k][l] for the columns with null_thresh[k] == 0 ...
//       dropNonPositiveVariance(K, null_thresh, set);
//   }
#ifndef VENTARQUILLO_ENGINE_SCORE_COLUMNS_H
#define VENTARQUILLO_ENGINE_SCORE_COLUMNS_H

#include "engine/design_span.h"

// Quality check of one score column over n subjects.  MODEL is a recessive
// flag here: 1 counts the subjects with mac[i] >= 2 as minor-allele
// individuals, any other value those with mac[i] > 0.  Writes
//   *MAC = sum of mac[i], *MAI = number of minor-allele individuals,
//   *Low_MAI = 1 when MAI_LB > *MAI,
//   *singular_score = 1 when every score[i] equals score[0] (n < 1 included),
//   *singular_covariates = 1 when |det([score, covariates]'[score, covariates])|
//     < 1e-20,
// and 0 for each flag otherwise.  covariates is n by p, 0-based.
void checkWarning2(int MODEL, int n, int p, int MAI_LB, const int* mac, const double* score, double** covariates,
                   int* MAC, int* MAI, int* Low_MAI, int* singular_score, int* singular_covariates);

// The same check against a design already factored (n = design.n subjects,
// p = design.p covariates), for a caller that checks several columns
// against one design.
void checkWarning2(int MODEL, const DesignFactor& design, int MAI_LB, const int* mac, const double* score, int* MAC,
                   int* MAI, int* Low_MAI, int* singular_score, int* singular_covariates);

// The arrays, allocated by the caller for K columns, through which a
// multi-score builder returns its result:
//   mac_thresh[k]  minor-allele count of column k (every column),
//   mai_thresh[k]  minor-allele individuals of column k (every column),
//   *n_work        number of columns that passed the checks and got a
//                  positive variance,
//   U[k]           score of column k, 0 for a dropped column,
//   cov[k][l]      covariance of the scores; zero row and column for a
//                  dropped column.
struct ScoreSet {
    int* mac_thresh;
    int* mai_thresh;
    int* n_work;
    double* U;
    double** cov;
};

// ---------------------------------------------------------------------------
// Engine-internal: column coding and the drop protocol of the builders.
// ---------------------------------------------------------------------------

// Which columns a builder forms.
enum class ColumnFamily {
    Weighted,             // column k: burden weighted by wt[k][.], additive coding
    Variant,              // column k: variant k alone; dominant cut at x > 0.5,
                          // recessive at x > 1.5 (least-squares and TDS primary builders)
    VariantWholeCutoffs,  // column k: variant k alone; dominant cut at x >= 1.0,
                          // recessive at x >= 2.0 (TDS secondary builder)
    Threshold             // column k: collapsed burden of the variants j with
                          // thresh[k] >= maf_hat[j]
};

// Everything the coding of a column reads.  x is subjects by N_SNP (a value
// below -0.1 is missing); a missing genotype of variant j is imputed from
// q[j] = 1 - MAF.  MODEL: 2 dominant, 3 recessive, anything else additive
// (ignored by Weighted columns, which are always additive).
struct ColumnSource {
    ColumnFamily family;
    int MODEL;
    int N_SNP;
    double** x;
    const double* q;
    double** wt;             // Weighted only: K by N_SNP
    const double* thresh;    // Threshold only: K thresholds
    const double* maf_hat;   // Threshold only: N_SNP frequencies
};

ColumnSource weightedColumns(int N_SNP, double** x, const double* q, double** wt);
ColumnSource variantColumns(int MODEL, int N_SNP, double** x, const double* q);
ColumnSource variantColumnsWholeCutoffs(int MODEL, int N_SNP, double** x, const double* q);
ColumnSource thresholdColumns(int MODEL, int N_SNP, double** x, const double* q, const double* thresh,
                              const double* maf_hat);

// The first argument of checkWarning2 for these columns: 1 for recessive
// Variant, VariantWholeCutoffs and Threshold columns, 0 otherwise.
int recessiveFlag(const ColumnSource& src);

// Column k for subjects 0..n-1: the per-subject minor-allele counts mac[i]
// (called genotypes of at least 1.0, summed and truncated to int after each
// addition) and the scores S[i] under the family's coding.  The recessive
// Threshold coding stops the run with "Only type=0 or 1 is acceptable" when a
// subject with missing included sites carries a sum below 2 other than 0 or 1.
void codeColumn(const ColumnSource& src, int k, int n, double* S, int* mac);

// Checks column k (scores S, counts mac over the design's n subjects,
// against its p columns): writes mac_thresh[k] and mai_thresh[k]; a column that
// raises a flag gets null_thresh[k] = 1 and U[k] = 0, one that passes gets
// null_thresh[k] = 0 and is counted in *n_work.  Returns whether it passed.
bool checkColumn(const ColumnSource& src, int k, const DesignFactor& design, int MAI_LB, const double* S,
                 const int* mac, const ScoreSet& set, int* null_thresh);

// Codes and checks the K columns in order, starting *n_work at 0.  Column k's
// scores go to S[k][0..n_code-1]; the check reads the first n_check subjects
// (n_check <= n_code; the two differ only where a builder codes more subjects
// than its model holds).  S is K by n_code and null_thresh has K entries.
void buildCheckedColumns(const ColumnSource& src, int K, int n_code, int n_check, int p, double** z, int MAI_LB,
                         double** S, int* null_thresh, const ScoreSet& set);

// Zeroes the K scores and the K by K covariance.
void clearScores(int K, const ScoreSet& set);

// Once the counted columns have their scores and variances: those with
// 0.0 >= cov[k][k] are dropped too (NaN stays) and *n_work goes down; every
// dropped column then has its score, row and column of cov set to zero.
void dropNonPositiveVariance(int K, int* null_thresh, const ScoreSet& set);

#endif
