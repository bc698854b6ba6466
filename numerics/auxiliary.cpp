#include "numerics/auxiliary.h"

#include <cmath>
#include <cstdio>

#include "numerics/gamma_and_stats.h"
#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"

long gix = 4567;
long giy = 6789;
long giz = 8901;

namespace {

// What rbinomC remembers between calls: the last n with en = n and
// oldg = ln Gamma(n + 1), and the last p with pc = 1 - p and their logarithms.
int nold = -1;
double en = 0.0;
double oldg = 0.0;
double pold = -1.0;
double pc = 0.0;
double plog = 0.0;
double pclog = 0.0;

constexpr int LOGISTIC_MAX_ITERATIONS = 5000;
constexpr int LOGISTIC_MAX_HALVINGS = 15;
constexpr double LOGISTIC_TOLERANCE = 1e-8;

// Linear predictor of row i.
double linear_predictor(int D, double* xi, double* beta) {
    double eta = 0.0;
    for (int j = 0; j < D; ++j) eta += xi[j] * beta[j];
    return eta;
}

// Bernoulli log-likelihood sum_i (y_i eta_i - ln(1 + exp(eta_i))).
double logistic_loglik(int N, int D, double* y, double** x, double* beta) {
    double loglik = 0.0;
    for (int i = 0; i < N; ++i) {
        const double eta = linear_predictor(D, x[i], beta);
        loglik += y[i] * eta - std::log(1.0 + std::exp(eta));
    }
    return loglik;
}

}  // namespace

double runifC3() {
    // Three multiplicative congruential generators, combined by adding their
    // fractions modulo 1 (Wichmann and Hill, AS 183).
    gix = 171 * (gix % 177) - 2 * (gix / 177);
    giy = 172 * (giy % 176) - 35 * (giy / 176);
    giz = 170 * (giz % 178) - 63 * (giz / 178);
    if (gix < 0) gix += 30269;
    if (giy < 0) giy += 30307;
    if (giz < 0) giz += 30323;
    return std::fmod(gix / 30269.0 + giy / 30307.0 + giz / 30323.0, 1.0);
}

double rbinomC(double pp, int n) {
    const double p = (pp <= 0.5) ? pp : 1.0 - pp;
    const double am = n * p;
    double count = 0.0;
    if (n <= 24) {
        // Direct method: one uniform per trial.
        for (int j = 1; j <= n; ++j)
            if (runifC3() < p) count += 1.0;
    } else if (am < 1.0) {
        // Few events expected: Poisson approximation by products of uniforms.
        const double g = std::exp(-am);
        double t = 1.0;
        int j = 0;
        for (; j <= n; ++j) {
            t *= runifC3();
            if (t < g) break;
        }
        count = (j <= n) ? j : n;
    } else {
        // Rejection from a Lorentzian comparison function.
        if (n != nold) {
            en = n;
            oldg = gammln(en + 1.0);
            nold = n;
        }
        if (p != pold) {
            pc = 1.0 - p;
            plog = std::log(p);
            pclog = std::log(pc);
            pold = p;
        }
        const double sq = std::sqrt(2.0 * am * pc);
        double em = 0.0;
        double t = 0.0;
        do {
            double y = 0.0;
            do {
                y = std::tan(3.141592654 * runifC3());
                em = sq * y + am;
            } while (em < 0.0 || em >= en + 1.0);
            em = std::floor(em);
            t = 1.2 * sq * (1.0 + y * y) *
                std::exp(oldg - gammln(em + 1.0) - gammln(en - em + 1.0) + em * plog + (en - em) * pclog);
        } while (runifC3() > t);
        count = em;
    }
    if (p != pp) count = n - count;
    return count;
}

void print_mf(double** m, long nrl, long nrh, long ncl, long nch) {
    for (long i = nrl; i <= nrh; ++i) {
        for (long j = ncl; j <= nch; ++j) std::printf("%.4f\t", m[i][j]);
        std::printf("\n");
    }
}

void print_vi(int* v, int nrl, int nrh) {
    for (int i = nrl; i <= nrh; ++i) std::printf("%d\t", v[i]);
    std::printf("\n");
}

void print_vf(double* v, int nrl, int nrh) {
    for (int i = nrl; i <= nrh; ++i) std::printf("%f\t", v[i]);
    std::printf("\n");
}

void logisticReg_v0(int N, int D, double* y, double** x, double* vbeta1) {
    double* vbeta2 = dvector(0, D - 1);
    double* vstep = dvector(0, D - 1);
    double* U = dvector(0, D - 1);
    double** I = dmatrix(0, D - 1, 0, D - 1);
    double** inv_I = dmatrix(1, D, 1, D);

    // Start from the intercept-only estimate: the logit of the mean outcome.
    for (int j = 0; j < D; ++j) vbeta1[j] = 0.0;
    const double yfreq = mean(y, 0, N - 1);
    if (D > 0) vbeta1[0] = std::log(yfreq / (1.0 - yfreq));
    double loglik_vbeta1 = logistic_loglik(N, D, y, x, vbeta1);

    for (int iteration = 1; iteration <= LOGISTIC_MAX_ITERATIONS; ++iteration) {
        // Score and Fisher information at vbeta1.
        for (int j = 0; j < D; ++j) {
            U[j] = 0.0;
            for (int k = 0; k < D; ++k) I[j][k] = 0.0;
        }
        for (int i = 0; i < N; ++i) {
            const double e = std::exp(linear_predictor(D, x[i], vbeta1));
            const double residual = y[i] - e / (1.0 + e);
            const double weight = e / ((1.0 + e) * (1.0 + e));
            for (int j = 0; j < D; ++j) {
                U[j] += residual * x[i][j];
                for (int k = 0; k < D; ++k) I[j][k] += weight * x[i][j] * x[i][k];
            }
        }

        // Newton step.
        for (int j = 0; j < D; ++j)
            for (int k = 0; k < D; ++k) inv_I[j + 1][k + 1] = I[j][k];
        invv(inv_I, D);
        for (int j = 0; j < D; ++j) {
            double step = 0.0;
            for (int k = 0; k < D; ++k) step += inv_I[j + 1][k + 1] * U[k];
            vstep[j] = step;
            vbeta2[j] = vbeta1[j] + vstep[j];
        }
        double loglik_vbeta2 = logistic_loglik(N, D, y, x, vbeta2);

        // Halve the step while the likelihood falls.
        for (int halving = 0; loglik_vbeta2 < loglik_vbeta1 && halving < LOGISTIC_MAX_HALVINGS; ++halving) {
            for (int j = 0; j < D; ++j) {
                vstep[j] = vstep[j] / 2.0;
                vbeta2[j] = vbeta1[j] + vstep[j];
            }
            loglik_vbeta2 = logistic_loglik(N, D, y, x, vbeta2);
        }

        for (int j = 0; j < D; ++j) vbeta1[j] = vbeta2[j];
        if (std::fabs((loglik_vbeta2 - loglik_vbeta1) / loglik_vbeta2) < LOGISTIC_TOLERANCE) break;
        if (iteration == LOGISTIC_MAX_ITERATIONS) {
            std::printf("\nLogisticReg Warning:MLE iteration NOT converge!\n");
            break;
        }
        loglik_vbeta1 = loglik_vbeta2;
    }

    free_dmatrix(inv_I, 1, D, 1, D);
    free_dmatrix(I, 0, D - 1, 0, D - 1);
    free_dvector(U, 0, D - 1);
    free_dvector(vstep, 0, D - 1);
    free_dvector(vbeta2, 0, D - 1);
}

void linearMLE(int N, int P, double* y, double** x, double* vbeta) {
    double** xx = dmatrix(0, P - 1, 0, P - 1);
    double* xy = dvector(0, P - 1);
    double** inv_xx = dmatrix(1, P, 1, P);

    // Cross products X'X and X'y over the N rows.
    for (int j = 0; j < P; ++j) {
        xy[j] = 0.0;
        for (int k = 0; k < P; ++k) xx[j][k] = 0.0;
    }
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < P; ++j) {
            xy[j] += x[i][j] * y[i];
            for (int k = 0; k < P; ++k) xx[j][k] += x[i][j] * x[i][k];
        }

    // Normal equations solved through the inverse of X'X.
    for (int j = 0; j < P; ++j)
        for (int k = 0; k < P; ++k) inv_xx[j + 1][k + 1] = xx[j][k];
    invv(inv_xx, P);
    for (int j = 0; j < P; ++j) {
        double beta = 0.0;
        for (int k = 0; k < P; ++k) beta += inv_xx[j + 1][k + 1] * xy[k];
        vbeta[j] = beta;
    }

    free_dmatrix(inv_xx, 1, P, 1, P);
    free_dvector(xy, 0, P - 1);
    free_dmatrix(xx, 0, P - 1, 0, P - 1);
}
