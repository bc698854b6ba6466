#include "engine/tds_secondary_builders.h"

#include "engine/score_columns.h"
#include "engine/secondary_fits.h"
#include "engine/tds_em.h"
#include "engine/tds_em_detail.h"
#include "numerics/linear_algebra.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

using tds_detail::columnMoments;
using tds_detail::covarianceFromMoments;

bool anyPositiveGenotype(int n1, int N_SNP, double** x) {
    for (int i = 0; i < n1; ++i)
        for (int j = 0; j < N_SNP; ++j)
            if (x[i][j] > 0.0) return true;
    return false;
}

// Unweighted burden of every sequenced subject over all variants, a missing
// genotype counting 2 (1 - q).
void unweightedBurden(int n1, int N_SNP, double** x, const double* q, double* S0) {
    for (int i = 0; i < n1; ++i) {
        double s = 0.0;
        for (int j = 0; j < N_SNP; ++j) {
            const double g = x[i][j];
            s += g < kMissingBelow ? 2 * (1 - q[j]) : g;
        }
        S0[i] = s;
    }
}

// What the scores of the secondary columns need from the two fits: the
// unweighted burden S0 and the primary coefficient covariance prim_cov, the
// primary residuals yw, and the null secondary fit on (yw, z2) with its
// residuals, inverse normal matrix, residual variance and coefficient of yw.
struct SecondaryNullFit {
    const double* S0;
    double** prim_cov;
    const double* yw;
    const double* resid;
    double** inv_A2;
    double R_sigma22_tilt;
    double R_alpha;
};

// Scores and covariances of the columns S[0..K-1] that passed the checks
// (null_thresh[k] == 0), over the first n2 subjects; a column whose variance
// is not positive is dropped before the covariances between columns are
// formed.
void secondaryScores(int K, int n2, int p1, int p2, double** S, int* null_thresh, double** z1, double** z2,
                     const SecondaryNullFit& fit, const ScoreSet& set) {
    double** t = dmatrix(0, lastIndex(K), 0, p2);
    double** B = dmatrix(0, lastIndex(K), 0, p1);
    for (int k = 0; k < K; ++k) {
        if (null_thresh[k] != 0) continue;
        const double* Sk = S[k];
        double score = 0.0;
        for (int i = 0; i < n2; ++i) score += fit.resid[i] * Sk[i];
        set.U[k] = score / fit.R_sigma22_tilt;
        columnMoments(n2, p1, p2, fit.yw, z1, z2, fit.S0, Sk, t[k], B[k]);
        set.cov[k][k] = covarianceFromMoments(n2, p1, p2, fit.inv_A2, fit.prim_cov, Sk, Sk, t[k], t[k], B[k],
                                              B[k], fit.R_sigma22_tilt, fit.R_alpha);
    }
    dropNonPositiveVariance(K, null_thresh, set);

    if (*set.n_work > 0) {
        for (int k = 0; k < K; ++k) {
            if (null_thresh[k] != 0) continue;
            for (int l = k + 1; l < K; ++l) {
                if (null_thresh[l] != 0) continue;
                set.cov[k][l] = covarianceFromMoments(n2, p1, p2, fit.inv_A2, fit.prim_cov, S[k], S[l], t[k], t[l],
                                                      B[k], B[l], fit.R_sigma22_tilt, fit.R_alpha);
                set.cov[l][k] = set.cov[k][l];
            }
        }
    }

    free_dmatrix(B, 0, lastIndex(K), 0, p1);
    free_dmatrix(t, 0, lastIndex(K), 0, p2);
}

// The procedure shared by the three builders.
void secondaryScoreSet(const ColumnSource& src, int K, int n, int n10, int n1, int n2, int p1, int p2, int* c10,
                       double* y10, double* y2, double** z1, double** z2, int MAI_LB, int* mac_thresh,
                       int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN) {
    const ScoreSet set{mac_thresh, mai_thresh, n_work, U, cov};
    for (int k = 0; k < K; ++k) {
        mac_thresh[k] = 0;
        mai_thresh[k] = 0;
    }
    clearScores(K, set);
    *n_work = 0;
    *EMconvergeN = 0;

    // No minor allele anywhere in the gene: nothing to test, no fit.
    if (!anyPositiveGenotype(n1, src.N_SNP, src.x)) return;

    double** S = dmatrix(0, lastIndex(K), 0, n1 - 1);
    int* null_thresh = ivector(0, lastIndex(K));

    if (n2 <= p2 + 1) {
        // The null secondary fit on (yw, z2) would leave no residual: the
        // scores and variances are undefined.  Columns are still coded and
        // checked for their counts, then all left out.
        buildCheckedColumns(src, K, n1, n2, p2, z2, MAI_LB, S, null_thresh, set);
        *n_work = 0;
        clearScores(K, set);
        free_ivector(null_thresh, 0, lastIndex(K));
        free_dmatrix(S, 0, lastIndex(K), 0, n1 - 1);
        return;
    }

    // Primary fit on (S0, z1) over all records.
    double* S0 = dvector(0, n1 - 1);
    unweightedBurden(n1, src.N_SNP, src.x, src.q, S0);
    double* prim_est = dvector(0, p1 + 1);
    double** prim_cov = dmatrix(0, p1 + 1, 0, p1 + 1);
    EM_quan2_time(n, n10, n1, p1, c10, y10, S0, z1, prim_est, prim_cov, EMconvergeN);

    // Primary residuals of the subjects with the secondary trait.
    double* yw = dvector(0, n2 - 1);
    tds_detail::primary_residuals(n2, p1, y10, S0, z1, prim_est, yw);

    // Null secondary fit.
    double** inv_A2 = dmatrix(1, p2 + 1, 1, p2 + 1);
    double* resid = dvector(0, n2 - 1);
    double R_alpha = 0.0;
    const double R_sigma22_tilt = tds_detail::null_secondary_fit(n2, p2, yw, z2, y2, inv_A2, resid, &R_alpha);

    // Columns: coded over the n1 sequenced subjects, checked over the n2.
    buildCheckedColumns(src, K, n1, n2, p2, z2, MAI_LB, S, null_thresh, set);
    clearScores(K, set);

    if (tds_detail::no_residual_variation(n2, y2, R_sigma22_tilt)) {
        // The trait is a linear function of the primary residual and its
        // covariates: no score of it has a defined variance.
        *n_work = 0;
        clearScores(K, set);
    } else {
        const SecondaryNullFit fit{S0, prim_cov, yw, resid, inv_A2, R_sigma22_tilt, R_alpha};
        secondaryScores(K, n2, p1, p2, S, null_thresh, z1, z2, fit, set);
    }

    free_dvector(resid, 0, n2 - 1);
    free_dmatrix(inv_A2, 1, p2 + 1, 1, p2 + 1);
    free_dvector(yw, 0, n2 - 1);
    free_dmatrix(prim_cov, 0, p1 + 1, 0, p1 + 1);
    free_dvector(prim_est, 0, p1 + 1);
    free_dvector(S0, 0, n1 - 1);
    free_ivector(null_thresh, 0, lastIndex(K));
    free_dmatrix(S, 0, lastIndex(K), 0, n1 - 1);
}

}  // namespace

void EM_sec_MULTI(int n, int n10, int n1, int n2, int p1, int p2, int N_SNP, int* c10, double* y10, double* y2,
                  double** x, double** z1, double** z2, int n_weight, double** wt, double* q, int MAI_LB,
                  int* mac_thresh, int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN) {
    secondaryScoreSet(weightedColumns(N_SNP, x, q, wt), n_weight, n, n10, n1, n2, p1, p2, c10, y10, y2, z1, z2,
                      MAI_LB, mac_thresh, mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_sec_SKAT2_v2(int MODEL, int n, int n10, int n1, int n2, int p1, int p2, int N_SNP, int* c10, double* y10,
                     double* y2, double** x, double** z1, double** z2, int N_UNIQ, double* q, int MAI_LB,
                     int* mac_thresh, int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN) {
    secondaryScoreSet(variantColumnsWholeCutoffs(MODEL, N_SNP, x, q), N_UNIQ, n, n10, n1, n2, p1, p2, c10, y10, y2,
                      z1, z2, MAI_LB, mac_thresh, mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_sec_VTtest_fixThresh2_v2(int MODEL, int n, int n10, int n1, int n2, int p1, int p2, int N_SNP, int* c10,
                                 double* y10, double* y2, double** x, double** z1, double** z2, int N_UNIQ,
                                 double* thresh, double* maf_hat, double* q, int MAI_LB, int* mac_thresh,
                                 int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN) {
    secondaryScoreSet(thresholdColumns(MODEL, N_SNP, x, q, thresh, maf_hat), N_UNIQ, n, n10, n1, n2, p1, p2, c10,
                      y10, y2, z1, z2, MAI_LB, mac_thresh, mai_thresh, n_work, U, cov, EMconvergeN);
}

