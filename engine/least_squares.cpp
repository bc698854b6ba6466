#include "engine/least_squares.h"

#include <cmath>
#include <vector>

#include "engine/score_columns.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"

namespace {

// Ordinary least squares of y on the N by D design z.  izz (1-based, D by D)
// receives (z'z)^-1, resid the residuals, *first_coefficient (when given) the
// coefficient of column 0; returns RSS / N.
double nullFit(int N, int D, const double* y, double** z, double** izz, double* resid,
               double* first_coefficient = nullptr) {
    double* zy = dvector(0, lastIndex(D));
    double* beta = dvector(0, lastIndex(D));

    for (int d = 0; d < D; ++d) {
        double sum = 0.0;
        for (int i = 0; i < N; ++i) sum += z[i][d] * y[i];
        zy[d] = sum;
    }
    for (int d = 0; d < D; ++d) {
        for (int e = d; e < D; ++e) {
            double sum = 0.0;
            for (int i = 0; i < N; ++i) sum += z[i][d] * z[i][e];
            izz[d + 1][e + 1] = sum;
            izz[e + 1][d + 1] = sum;
        }
    }
    invv(izz, D);

    for (int d = 0; d < D; ++d) {
        double sum = 0.0;
        for (int e = 0; e < D; ++e) sum += izz[d + 1][e + 1] * zy[e];
        beta[d] = sum;
    }
    double rss = 0.0;
    for (int i = 0; i < N; ++i) {
        double fitted = 0.0;
        for (int d = 0; d < D; ++d) fitted += z[i][d] * beta[d];
        resid[i] = y[i] - fitted;
        rss += resid[i] * resid[i];
    }

    if (first_coefficient != nullptr) *first_coefficient = beta[0];
    free_dvector(zy, 0, lastIndex(D));
    free_dvector(beta, 0, lastIndex(D));
    return rss / N;
}

// z'S over the N subjects.
void crossWithDesign(int N, int D, double** z, const double* S, double* zs) {
    for (int d = 0; d < D; ++d) {
        double sum = 0.0;
        for (int i = 0; i < N; ++i) sum += z[i][d] * S[i];
        zs[d] = sum;
    }
}

// Iz v, with Iz 0-based D by D.
void timesInverse(int D, double** iz, const double* v, double* out) {
    for (int d = 0; d < D; ++d) {
        double sum = 0.0;
        for (int e = 0; e < D; ++e) sum += iz[d][e] * v[e];
        out[d] = sum;
    }
}

double dot(int n, const double* a, const double* b) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

// The subjects at which a column is not zero, in order, and whether all its
// entries are finite.
struct NonZeros {
    std::vector<int> at;
    bool finite = true;
};

NonZeros nonZeros(int n, const double* a) {
    NonZeros nz;
    for (int i = 0; i < n; ++i) {
        if (a[i] != 0.0) nz.at.push_back(i);
        nz.finite = nz.finite && std::isfinite(a[i]);
    }
    return nz;
}

// sum over i < n of a[i] b[i], in the order of i, from the products whose
// factors are both non-zero.  A product left out is a zero times a finite
// number, a signed zero, which leaves the running sum as it is (a sum that
// starts at +0 is never -0), so the result is that of the plain loop bit for
// bit; the factor whose partner is finite and that has fewer non-zeros
// drives the loop.  Rare variants make the columns of a large gene mostly
// zero.
double sparseDot(int n, const double* a, const NonZeros& na, const double* b, const NonZeros& nb) {
    const bool by_a = nb.finite && (!na.finite || na.at.size() <= nb.at.size());
    if (!by_a && !na.finite) return dot(n, a, b);
    const std::vector<int>& at = by_a ? na.at : nb.at;
    double sum = 0.0;
    for (const int i : at) sum += a[i] * b[i];
    return sum;
}

// The covariance as a Gram product over the subjects: row k of factor->R
// the residual S_k - z Iz z'S_k of each counted column k (izs[k] = Iz z'S_k),
// the rows of the other columns zero.
void residualFactor(int K, int nsubj, int p, double** z, double** S, const int* null_thresh, double** izs,
                    double scale, CovarianceFactor* factor) {
    factor->n = nsubj;
    factor->scale = scale;
    factor->R.assign(static_cast<std::size_t>(K) * nsubj, 0.0);
    for (int k = 0; k < K; ++k) {
        if (null_thresh[k] != 0) continue;
        double* r = factor->R.data() + static_cast<std::size_t>(k) * nsubj;
        for (int i = 0; i < nsubj; ++i) r[i] = S[k][i] - dot(p, z[i], izs[k]);
    }
}

// Scores and covariance of the counted columns (null_thresh[k] == 0) of a
// least-squares builder.  S_k'(I - H)S_l is formed through the covariates as
// S_k'S_l - (z'S_k)' Iz (z'S_l), which costs O(n K^2 + n K p) instead of
// an n by n residual projection, and S_k'S_l over the non-zero entries.
void leastSquaresCovariance(int K, int nsubj, int p, double** z, double** S, const int* null_thresh,
                            const double* centerY, double SigmaSQ, double** Iz, const ScoreSet& set,
                            CovarianceFactor* factor) {
    const double s2 = nsubj * SigmaSQ / (nsubj - p);
    const double scale = s2 / (SigmaSQ * SigmaSQ);
    double** zs = dmatrix(0, lastIndex(K), 0, lastIndex(p));
    double** izs = dmatrix(0, lastIndex(K), 0, lastIndex(p));
    std::vector<NonZeros> nz(static_cast<std::size_t>(K));

    for (int k = 0; k < K; ++k) {
        if (null_thresh[k] != 0) continue;
        set.U[k] = dot(nsubj, centerY, S[k]) / SigmaSQ;
        crossWithDesign(nsubj, p, z, S[k], zs[k]);
        timesInverse(p, Iz, zs[k], izs[k]);
        nz[k] = nonZeros(nsubj, S[k]);
    }
    for (int k = 0; k < K; ++k) {
        if (null_thresh[k] != 0) continue;
        for (int l = k; l < K; ++l) {
            if (null_thresh[l] != 0) continue;
            const double quad = sparseDot(nsubj, S[k], nz[k], S[l], nz[l]) - dot(p, zs[k], izs[l]);
            set.cov[k][l] = quad * scale;
            set.cov[l][k] = set.cov[k][l];
        }
    }
    if (factor != nullptr && *set.n_work > nsubj) residualFactor(K, nsubj, p, z, S, null_thresh, izs, scale, factor);

    free_dmatrix(zs, 0, lastIndex(K), 0, lastIndex(p));
    free_dmatrix(izs, 0, lastIndex(K), 0, lastIndex(p));
}

// The common body of the six builders.  The primary builders fit the null
// model before building their columns; the secondary ones only when some
// column passed the checks.
void leastSquaresScoreSet(bool fit_first, const ColumnSource& src, int K, int nsubj, int p, const double* y,
                          double** z, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U,
                          double** cov, CovarianceFactor* factor = nullptr) {
    const ScoreSet set{mac_thresh, mai_thresh, n_work, U, cov};
    if (factor != nullptr) {
        factor->n = 0;
        factor->R.clear();
    }
    double* centerY = dvector(0, lastIndex(nsubj));
    double** Iz = dmatrix(0, lastIndex(p), 0, lastIndex(p));
    double SigmaSQ = 0.0;
    bool fitted = false;
    if (fit_first) {
        score_yz_quanTrait(nsubj, p, y, z, centerY, &SigmaSQ, Iz);
        fitted = true;
    }

    double** S = dmatrix(0, lastIndex(K), 0, lastIndex(nsubj));
    int* null_thresh = ivector(0, static_cast<int>(lastIndex(K)));
    buildCheckedColumns(src, K, nsubj, nsubj, p, z, MAI_LB, S, null_thresh, set);
    clearScores(K, set);

    if (*n_work >= 1) {
        if (nsubj <= p) {
            // RSS / (n - p) has no positive divisor: no column has a usable variance.
            for (int k = 0; k < K; ++k) null_thresh[k] = 1;
            *n_work = 0;
        } else {
            if (!fitted) score_yz_quanTrait(nsubj, p, y, z, centerY, &SigmaSQ, Iz);
            leastSquaresCovariance(K, nsubj, p, z, S, null_thresh, centerY, SigmaSQ, Iz, set, factor);
            dropNonPositiveVariance(K, null_thresh, set);
        }
    }

    free_ivector(null_thresh, 0, static_cast<int>(lastIndex(K)));
    free_dmatrix(S, 0, lastIndex(K), 0, lastIndex(nsubj));
    free_dmatrix(Iz, 0, lastIndex(p), 0, lastIndex(p));
    free_dvector(centerY, 0, lastIndex(nsubj));
}

}  // namespace

void score_yz_quanTrait(int N, int D, const double* y, double** z, double* centerY, double* SigmaSQ, double** Iz) {
    double** izz = dmatrix(1, D, 1, D);
    *SigmaSQ = nullFit(N, D, y, z, izz, centerY);
    for (int d = 0; d < D; ++d)
        for (int e = 0; e < D; ++e) Iz[d][e] = izz[d + 1][e + 1];
    free_dmatrix(izz, 1, D, 1, D);
}

void scoreLinear_UV(int N, int D, const double* y, const double* S, double** z, double* stat_U, double* stat_V,
                    double* stat, double* errorVar) {
    double** izz = dmatrix(1, D, 1, D);
    double* resid = dvector(0, lastIndex(N));
    double* zs = dvector(0, lastIndex(D));

    *errorVar = nullFit(N, D, y, z, izz, resid);
    *stat_U = dot(N, resid, S);

    crossWithDesign(N, D, z, S, zs);
    double explained = 0.0;
    for (int d = 0; d < D; ++d) {
        double sum = 0.0;
        for (int e = 0; e < D; ++e) sum += izz[d + 1][e + 1] * zs[e];
        explained += zs[d] * sum;
    }
    *stat_V = (dot(N, S, S) - explained) * *errorVar;
    *stat = *stat_U / std::sqrt(*stat_V);

    free_dvector(zs, 0, lastIndex(D));
    free_dvector(resid, 0, lastIndex(N));
    free_dmatrix(izz, 1, D, 1, D);
}

void estLinear(int N, int D, const double* y, const double* S, double** z, double* beta_est, double* beta_se) {
    const int m = D + 1;
    double** X = dmatrix(0, lastIndex(N), 0, m - 1);  // [S, z]
    for (int i = 0; i < N; ++i) {
        X[i][0] = S[i];
        for (int d = 0; d < D; ++d) X[i][d + 1] = z[i][d];
    }
    double** xx = dmatrix(1, m, 1, m);
    double* resid = dvector(0, lastIndex(N));
    const double sigma2 = nullFit(N, m, y, X, xx, resid, beta_est);
    *beta_se = std::sqrt(sigma2 * xx[1][1]);

    free_dvector(resid, 0, lastIndex(N));
    free_dmatrix(xx, 1, m, 1, m);
    free_dmatrix(X, 0, lastIndex(N), 0, m - 1);
}

void EM_prim_MULTI_naive(int n1, int p, int N_SNP, const double* y10, double** x, double** z, int n_weight,
                         double** wt, const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work,
                         double* U, double** cov) {
    leastSquaresScoreSet(true, weightedColumns(N_SNP, x, q, wt), n_weight, n1, p, y10, z, MAI_LB, mac_thresh,
                         mai_thresh, n_work, U, cov);
}

void EM_sec_MULTI_naive(int n2, int p, int N_SNP, const double* /*y10*/, const double* y2, double** x, double** z,
                        int n_weight, double** wt, const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                        int* n_work, double* U, double** cov) {
    leastSquaresScoreSet(false, weightedColumns(N_SNP, x, q, wt), n_weight, n2, p, y2, z, MAI_LB, mac_thresh,
                         mai_thresh, n_work, U, cov);
}

void EM_prim_SKAT_naive(int MODEL, int n1, int p, int N_SNP, const double* y10, double** x, double** z, int N_UNIQ,
                        const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U,
                        double** cov, CovarianceFactor* factor) {
    leastSquaresScoreSet(true, variantColumns(MODEL, N_SNP, x, q), N_UNIQ, n1, p, y10, z, MAI_LB, mac_thresh,
                         mai_thresh, n_work, U, cov, factor);
}

void EM_sec_SKAT_naive(int MODEL, int n2, int p, int N_SNP, const double* /*y10*/, const double* y2, double** x,
                       double** z, int N_UNIQ, const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                       int* n_work, double* U, double** cov, CovarianceFactor* factor) {
    leastSquaresScoreSet(false, variantColumns(MODEL, N_SNP, x, q), N_UNIQ, n2, p, y2, z, MAI_LB, mac_thresh,
                         mai_thresh, n_work, U, cov, factor);
}

void EM_prim_VTtest_naive_fixThresh2(int MODEL, int n1, int p, int N_SNP, const double* y10, double** x,
                                     double** z, int N_UNIQ, const double* thresh, const double* maf_hat,
                                     const double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work,
                                     double* U, double** cov) {
    leastSquaresScoreSet(true, thresholdColumns(MODEL, N_SNP, x, q, thresh, maf_hat), N_UNIQ, n1, p, y10, z,
                         MAI_LB, mac_thresh, mai_thresh, n_work, U, cov);
}

void EM_sec_VTtest_naive_fixThresh2(int MODEL, int n2, int p, int N_SNP, const double* /*y10*/, const double* y2,
                                    double** x, double** z, int N_UNIQ, const double* thresh,
                                    const double* maf_hat, const double* q, int MAI_LB, int* mac_thresh,
                                    int* mai_thresh, int* n_work, double* U, double** cov) {
    leastSquaresScoreSet(false, thresholdColumns(MODEL, N_SNP, x, q, thresh, maf_hat), N_UNIQ, n2, p, y2, z,
                         MAI_LB, mac_thresh, mai_thresh, n_work, U, cov);
}
