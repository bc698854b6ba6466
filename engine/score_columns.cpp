#include "engine/score_columns.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "engine/data_preparation.h"
#include "engine/design_span.h"
#include "numerics/linear_algebra.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr double kWeightZero = 1e-10;       // weights at most this count no alleles
constexpr double kSingularDeterminant = 1e-20;

bool missing(double g) { return g < kMissingBelow; }

// Integer part of (count + g) for a called genotype g >= 1.0, saturated at
// INT_MAX so that an absurd dosage cannot overflow the conversion.
int addAlleles(int count, double g) {
    const double total = static_cast<double>(count) + g;
    if (!(total < static_cast<double>(INT_MAX))) return INT_MAX;
    return static_cast<int>(total);
}

// The expected additive code of a missing genotype: 2 (1 - q).
double imputedAdditive(double q) { return 2 * (1 - q); }

bool inThreshold(const ColumnSource& src, int k, int j) { return src.thresh[k] >= src.maf_hat[j]; }

// Per-subject counts of a column that sums over several variants.
template <typename Included>
void summedCounts(const ColumnSource& src, int n, int* mac, Included included) {
    for (int i = 0; i < n; ++i) {
        int count = 0;
        for (int j = 0; j < src.N_SNP; ++j) {
            const double g = src.x[i][j];
            if (included(j) && g >= 1.0) count = addAlleles(count, g);
        }
        mac[i] = count;
    }
}

void codeWeighted(const ColumnSource& src, int k, int n, double* S, int* mac) {
    const double* w = src.wt[k];
    summedCounts(src, n, mac, [w](int j) { return std::fabs(w[j]) > kWeightZero; });
    for (int i = 0; i < n; ++i) {
        double s = 0.0;
        for (int j = 0; j < src.N_SNP; ++j) {
            const double g = src.x[i][j];
            s += w[j] * (missing(g) ? imputedAdditive(src.q[j]) : g);
        }
        S[i] = s;
    }
}

void codeVariant(const ColumnSource& src, int k, int n, double* S, int* mac) {
    const double q = src.q[k];
    const bool whole = src.family == ColumnFamily::VariantWholeCutoffs;
    for (int i = 0; i < n; ++i) {
        const double g = src.x[i][k];
        mac[i] = g >= 1.0 ? addAlleles(0, g) : 0;
        double s = 0.0;
        if (src.MODEL == 2) {
            if (whole)
                s = missing(g) ? 1 - q * q : (g >= 1.0 ? 1.0 : 0.0);
            else
                s = g > 0.5 ? 1.0 : (missing(g) ? 1 - q * q : 0.0);
        } else if (src.MODEL == 3) {
            if (whole)
                s = missing(g) ? (1 - q) * (1 - q) : (g >= 2.0 ? 1.0 : 0.0);
            else
                s = g > 1.5 ? 1.0 : (missing(g) ? (1 - q) * (1 - q) : 0.0);
        } else {
            s = missing(g) ? imputedAdditive(q) : g;
        }
        S[i] = s;
    }
}

void codeThreshold(const ColumnSource& src, int k, int n, double* S, int* mac) {
    summedCounts(src, n, mac, [&src, k](int j) { return inThreshold(src, k, j); });
    double* missing_q = src.MODEL == 3 ? dvector(0, lastIndex(src.N_SNP)) : nullptr;
    for (int i = 0; i < n; ++i) {
        const double* row = src.x[i];
        double s = 0.0;
        if (src.MODEL == 2) {
            // 1 for a carrier of an included variant; otherwise, with included
            // sites missing, the chance that one of them carries a minor allele.
            double p_none = 1.0;
            for (int j = 0; j < src.N_SNP; ++j) {
                if (!inThreshold(src, k, j)) continue;
                if (row[j] > 0.5) s = 1.0;
                if (missing(row[j])) p_none *= src.q[j] * src.q[j];
            }
            if (std::fabs(s) < 0.1 && 1 - p_none > 0.0) s = 1 - p_none;
        } else if (src.MODEL == 3) {
            double carried = 0.0;
            int n_miss = 0;
            for (int j = 0; j < src.N_SNP; ++j) {
                if (!inThreshold(src, k, j)) continue;
                if (row[j] > 0.5) carried += row[j];
                if (missing(row[j])) missing_q[n_miss++] = src.q[j];
            }
            if (carried >= 2.0)
                s = 1.0;
            else if (n_miss == 0)
                s = 0.0;
            else if (acceptableRecessiveType(carried))
                s = getS_REC_impute(carried, n_miss, missing_q);  // same digits as the burden
            else {
                free_dvector(missing_q, 0, lastIndex(src.N_SNP));
                stopOnRecessiveType();
            }
        } else {
            for (int j = 0; j < src.N_SNP; ++j) {
                if (!inThreshold(src, k, j)) continue;
                s += missing(row[j]) ? imputedAdditive(src.q[j]) : row[j];
            }
        }
        S[i] = s;
    }
    if (missing_q != nullptr) free_dvector(missing_q, 0, lastIndex(src.N_SNP));
}

}  // namespace

void checkWarning2(int MODEL, int n, int p, int MAI_LB, const int* mac, const double* score, double** covariates,
                   int* MAC, int* MAI, int* Low_MAI, int* singular_score, int* singular_covariates) {
    checkWarning2(MODEL, *factoredDesign(n, p, covariates), MAI_LB, mac, score, MAC, MAI, Low_MAI, singular_score,
                  singular_covariates);
}

void checkWarning2(int MODEL, const DesignFactor& design, int MAI_LB, const int* mac, const double* score, int* MAC,
                   int* MAI, int* Low_MAI, int* singular_score, int* singular_covariates) {
    const int n = design.n;
    const int p = design.p;
    *Low_MAI = 0;
    *singular_score = 0;
    *singular_covariates = 0;

    const int carrier_min = MODEL == 1 ? 2 : 1;
    int individuals = 0;
    long long alleles = 0;
    for (int i = 0; i < n; ++i) {
        if (mac[i] >= carrier_min) ++individuals;
        alleles += mac[i];
    }
    if (alleles > INT_MAX) alleles = INT_MAX;

    bool constant = true;
    for (int i = 1; i < n && constant; ++i)
        if (!(score[i] == score[0])) constant = false;

    // X'X of X = [score, covariates], 1-based for Determinant.  The
    // covariates' own block comes from the design's factor (the same sums in
    // the same order); the score's row skips the subjects with a score of
    // exactly 0, whose terms are zeros that leave every sum's bits as they
    // are, unless a covariate is not a finite number (0 x inf is not 0).
    const int m = p + 1;
    double** xx = dmatrix(1, m, 1, m);
    std::vector<double> cross(static_cast<std::size_t>(m), 0.0);  // score'score, then score'covariates
    for (int i = 0; i < n; ++i) {
        const double s = score[i];
        if (s == 0.0 && design.finite) continue;
        cross[0] += s * s;
        const double* row = &design.z[static_cast<std::size_t>(i) * p];
        for (int c = 0; c < p; ++c) cross[static_cast<std::size_t>(c) + 1] += s * row[c];
    }
    for (int a = 1; a <= m; ++a) {
        for (int b = a; b <= m; ++b) {
            const double sum = a == 1 ? cross[static_cast<std::size_t>(b) - 1]
                                      : design.zz[static_cast<std::size_t>(a - 2) * p + (b - 2)];
            xx[a][b] = sum;
            xx[b][a] = sum;
        }
    }
    const double det = Determinant(xx, m);
    free_dmatrix(xx, 1, m, 1, m);

    *MAC = static_cast<int>(alleles);
    *MAI = individuals;
    if (MAI_LB > individuals) *Low_MAI = 1;
    if (constant) *singular_score = 1;
    if (std::fabs(det) < kSingularDeterminant) *singular_covariates = 1;
}

ColumnSource weightedColumns(int N_SNP, double** x, const double* q, double** wt) {
    return ColumnSource{ColumnFamily::Weighted, 1, N_SNP, x, q, wt, nullptr, nullptr};
}

ColumnSource variantColumns(int MODEL, int N_SNP, double** x, const double* q) {
    return ColumnSource{ColumnFamily::Variant, MODEL, N_SNP, x, q, nullptr, nullptr, nullptr};
}

ColumnSource variantColumnsWholeCutoffs(int MODEL, int N_SNP, double** x, const double* q) {
    return ColumnSource{ColumnFamily::VariantWholeCutoffs, MODEL, N_SNP, x, q, nullptr, nullptr, nullptr};
}

ColumnSource thresholdColumns(int MODEL, int N_SNP, double** x, const double* q, const double* thresh,
                              const double* maf_hat) {
    return ColumnSource{ColumnFamily::Threshold, MODEL, N_SNP, x, q, nullptr, thresh, maf_hat};
}

int recessiveFlag(const ColumnSource& src) {
    return src.family != ColumnFamily::Weighted && src.MODEL == 3 ? 1 : 0;
}

void codeColumn(const ColumnSource& src, int k, int n, double* S, int* mac) {
    switch (src.family) {
        case ColumnFamily::Weighted:
            codeWeighted(src, k, n, S, mac);
            break;
        case ColumnFamily::Variant:
        case ColumnFamily::VariantWholeCutoffs:
            codeVariant(src, k, n, S, mac);
            break;
        case ColumnFamily::Threshold:
            codeThreshold(src, k, n, S, mac);
            break;
    }
}

namespace {

// True when S lies in the span of the design's columns (or the design itself
// is singular), in the sense of dependentColumns with kDependentColumn.  A
// column with a value that is not a number is not judged here (its scores
// stay undefined, as the builders pass them on).
bool inSpanOfCovariates(const DesignFactor& design, const double* S) {
    for (int i = 0; i < design.n; ++i)
        if (!std::isfinite(S[i])) return false;
    return rankDeficientWith(design, S, true, kDependentColumn);
}

}  // namespace

bool checkColumn(const ColumnSource& src, int k, const DesignFactor& design, int MAI_LB, const double* S,
                 const int* mac, const ScoreSet& set, int* null_thresh) {
    int low_mai = 0;
    int singular_score = 0;
    int singular_covariates = 0;
    checkWarning2(recessiveFlag(src), design, MAI_LB, mac, S, &set.mac_thresh[k], &set.mai_thresh[k], &low_mai,
                  &singular_score, &singular_covariates);
    // checkWarning2's bound on det(X'X) is absolute and misses a column in
    // the span of the covariates once they are standardised; such a column
    // has no efficient variance beyond rounding noise and is left out too.
    if (low_mai == 0 && singular_score == 0 && singular_covariates == 0 && inSpanOfCovariates(design, S))
        singular_covariates = 1;
    if (low_mai != 0 || singular_score != 0 || singular_covariates != 0) {
        null_thresh[k] = 1;
        set.U[k] = 0.0;
        return false;
    }
    null_thresh[k] = 0;
    ++*set.n_work;
    return true;
}

void buildCheckedColumns(const ColumnSource& src, int K, int n_code, int n_check, int p, double** z, int MAI_LB,
                         double** S, int* null_thresh, const ScoreSet& set) {
    *set.n_work = 0;
    int* mac = ivector(0, lastIndex(n_code));
    const std::shared_ptr<const DesignFactor> design = factoredDesign(n_check, p, z);
    for (int k = 0; k < K; ++k) {
        codeColumn(src, k, n_code, S[k], mac);
        checkColumn(src, k, *design, MAI_LB, S[k], mac, set, null_thresh);
    }
    free_ivector(mac, 0, lastIndex(n_code));
}

void clearScores(int K, const ScoreSet& set) {
    for (int k = 0; k < K; ++k) {
        set.U[k] = 0.0;
        for (int l = 0; l < K; ++l) set.cov[k][l] = 0.0;
    }
}

void dropNonPositiveVariance(int K, int* null_thresh, const ScoreSet& set) {
    for (int k = 0; k < K; ++k) {
        if (null_thresh[k] == 0 && 0.0 >= set.cov[k][k]) {
            null_thresh[k] = 1;
            --*set.n_work;
        }
    }
    for (int k = 0; k < K; ++k) {
        if (null_thresh[k] == 0) continue;
        set.U[k] = 0.0;
        for (int l = 0; l < K; ++l) {
            set.cov[k][l] = 0.0;
            set.cov[l][k] = 0.0;
        }
    }
}
