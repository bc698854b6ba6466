// Times the primary-trait score test (fitting its own null model, and on the
// run's null-fit cache) and the full fit of the semiparametric model for
// growing numbers of sequenced subjects, with four times as many
// non-sequenced subjects pooled into at most 500 distinct trait values.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/single_burden_mle.h"
#include "engine/tds_em.h"
#include "engine/tds_primary_builders.h"
#include "numerics/offset_arrays.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// With full_only, only the full fit is timed (for profiling it alone).
void run(int n1, bool full_only) {
    std::mt19937 gen(12345 + n1);
    std::normal_distribution<double> normal;
    std::bernoulli_distribution carrier(0.05);
    const int p = 2;

    // Sequenced subjects: the lower and upper tails of a larger sample.
    std::vector<double> y, g;
    std::vector<std::vector<double>> z;
    while (static_cast<int>(y.size()) < n1) {
        const double x = normal(gen);
        const double b = carrier(gen) ? 1.0 : 0.0;
        const double v = 0.3 * x + 0.4 * b + normal(gen);
        if (std::fabs(v) < 0.8) continue;
        y.push_back(v);
        g.push_back(b);
        z.push_back({1.0, x});
    }
    // Non-sequenced subjects: 4*n1 values on a grid of step 0.02 in [-5, 5].
    std::map<double, int> counts;
    for (int i = 0; i < 4 * n1; ++i) {
        double v = 0.3 * normal(gen) + normal(gen);
        v = std::fmin(4.99, std::fmax(-4.99, v));
        counts[std::round(v / 0.02) * 0.02] += 1;
    }
    std::vector<double> y10 = y;
    std::vector<int> c10(n1, 1);
    for (const auto& [value, count] : counts) {
        y10.push_back(value);
        c10.push_back(count);
    }
    const int n10 = static_cast<int>(y10.size());
    const int n = n1 + 4 * n1;

    double** Z = dmatrix(0, n1 - 1, 0, p - 1);
    for (int j = 0; j < n1; ++j)
        for (int k = 0; k < p; ++k) Z[j][k] = z[j][k];

    if (full_only) {
        std::vector<double> est(p + 2);
        double** cov = dmatrix(0, p + 1, 0, p + 1);
        int conv = 0;
        const auto t0 = std::chrono::steady_clock::now();
        EM_quan2_time(n, n10, n1, p, c10.data(), y10.data(), g.data(), Z, est.data(), cov, &conv);
        std::printf("n1=%5d records=%5d  EM_quan2_time %7.3f s (EM %4d it, beta=%+.17g se=%.17g)\n", n1, n10,
                    seconds_since(t0), conv, est[0], std::sqrt(cov[0][0]));
        free_dmatrix(cov, 0, p + 1, 0, p + 1);
        free_dmatrix(Z, 0, n1 - 1, 0, p - 1);
        return;
    }
    double U = 0, V = 0, T = 0;
    int conv1 = 0;
    auto t0 = std::chrono::steady_clock::now();
    scoreTest_MLE_Prim(n, n10, n1, p, c10.data(), y10.data(), g.data(), Z, &U, &V, &T, &conv1);
    const double t_score = seconds_since(t0);

    std::vector<double> est(p + 2);
    double** cov = dmatrix(0, p + 1, 0, p + 1);
    int conv2 = 0;
    t0 = std::chrono::steady_clock::now();
    EM_quan2_time(n, n10, n1, p, c10.data(), y10.data(), g.data(), Z, est.data(), cov, &conv2);
    const double t_full = seconds_since(t0);

    // The score test on the run's null-fit cache: the first gene fits and
    // keeps the null model, the next genes (other burdens) reuse it.
    PrimaryNullCache* cache = newPrimaryNullCache();
    double Uc = 0, Vc = 0, Tc = 0;
    int conv4 = 0;
    t0 = std::chrono::steady_clock::now();
    scoreTest_MLE_Prim_cached(cache, n, n10, n1, p, c10.data(), y10.data(), g.data(), Z, &Uc, &Vc, &Tc, &conv4);
    const double t_first = seconds_since(t0);
    std::vector<double> g2(g.rbegin(), g.rend());
    t0 = std::chrono::steady_clock::now();
    scoreTest_MLE_Prim_cached(cache, n, n10, n1, p, c10.data(), y10.data(), g2.data(), Z, &Uc, &Vc, &Tc, &conv4);
    const double t_next = seconds_since(t0);
    freePrimaryNullCache(cache);

    // One null fit and the efficient covariance of 50 per-variant columns, as
    // the variance-component builder asks for.
    const int K = 50;
    std::vector<double> eta(p), qm(n1), etaW(n1);
    double** phi = dmatrix(0, n10 - 1, 0, n1 - 1);
    double sigma11 = 0;
    int conv3 = 0;
    EM_quan(n, n10, n1, p, c10.data(), y10.data(), Z, eta.data(), &sigma11, qm.data(), etaW.data(), phi, &conv3);
    double** SZ = dmatrix(0, n1 - 1, 0, K + p - 1);
    std::bernoulli_distribution rare(0.02);
    for (int j = 0; j < n1; ++j) {
        for (int k = 0; k < K; ++k) SZ[j][k] = rare(gen) ? 1.0 : 0.0;
        for (int k = 0; k < p; ++k) SZ[j][K + k] = Z[j][k];
    }
    std::vector<double> UK(K);
    double** covK = dmatrix(0, K - 1, 0, K - 1);
    t0 = std::chrono::steady_clock::now();
    getUCOV_prim(n, n10, n1, K + p, K, sigma11, phi, eta.data(), etaW.data(), qm.data(), y10.data(), c10.data(), SZ,
                 UK.data(), covK);
    const double t_multi = seconds_since(t0);
    free_dmatrix(covK, 0, K - 1, 0, K - 1);
    free_dmatrix(SZ, 0, n1 - 1, 0, K + p - 1);
    free_dmatrix(phi, 0, n10 - 1, 0, n1 - 1);

    std::printf("n1=%5d records=%5d  scoreTest_MLE_Prim %7.3f s (EM %4d it, T=%+.4f)  "
                "EM_quan2_time %7.3f s (EM %4d it, beta=%+.4f se=%.4f)  "
                "getUCOV_prim with %d columns %7.3f s\n",
                n1, n10, t_score, conv1, T, t_full, conv2, est[0], std::sqrt(cov[0][0]), K, t_multi);
    std::printf("         cached score test: first gene %7.3f s, next genes %7.3f s;  "
                "primary single-burden MLE per gene (full fit + cached score test) %7.3f s\n",
                t_first, t_next, t_full + t_next);
    std::fflush(stdout);
    free_dmatrix(cov, 0, p + 1, 0, p + 1);
    free_dmatrix(Z, 0, n1 - 1, 0, p - 1);
}

}  // namespace

// usage: bench_tds_em [--full] [N1 ...]   (default 250 500 1000 2000)
// --full times the full fit alone.
int main(int argc, char** argv) {
    std::vector<int> sizes;
    bool full_only = false;
    for (int a = 1; a < argc; ++a) {
        if (std::string(argv[a]) == "--full")
            full_only = true;
        else
            sizes.push_back(std::atoi(argv[a]));
    }
    if (sizes.empty()) sizes = {250, 500, 1000, 2000};
    for (int n1 : sizes) run(n1, full_only);
    return 0;
}
