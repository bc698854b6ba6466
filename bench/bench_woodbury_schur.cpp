// Times the full fit's (p + 2) x (p + 2) block of the inverse information two
// ways: as the program computes it (one decomposition of the whole reduced
// information of order p + n1 + 1) and by the low-rank Schur complement of
// woodbury_schur.h, and prints the largest relative difference of the block.
// Five times as many non-sequenced subjects as sequenced ones, pooled into at
// most 500 distinct trait values (the default rounding bound).
//   usage: bench_woodbury_schur [N1 ...]   (default 1000 2000 4000)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "bench/woodbury_schur.h"
#include "engine/tds_em.h"
#include "engine/tds_em_detail.h"
#include "numerics/offset_arrays.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void run(int n1) {
    std::mt19937 gen(4242 + n1);
    std::normal_distribution<double> normal;
    std::bernoulli_distribution carrier(0.05);
    const int p = 2;
    std::vector<double> y10, g;
    std::vector<int> c10;
    double** z = dmatrix(0, n1 - 1, 0, p - 1);
    for (int j = 0; j < n1;) {
        const double x = normal(gen);
        const double b = carrier(gen) ? 1.0 : 0.0;
        const double v = 0.3 * x + 0.4 * b + normal(gen);
        if (std::fabs(v) < 0.8) continue;  // the two tails are sequenced
        y10.push_back(v);
        c10.push_back(1);
        g.push_back(b);
        z[j][0] = 1.0;
        z[j][1] = x;
        ++j;
    }
    std::map<double, int> counts;
    for (int i = 0; i < 5 * n1; ++i) {
        const double v = std::fmin(4.99, std::fmax(-4.99, 0.3 * normal(gen) + normal(gen)));
        counts[std::round(v / 0.02) * 0.02] += 1;
    }
    for (const auto& [value, count] : counts) {
        y10.push_back(value);
        c10.push_back(count);
    }
    const int n10 = static_cast<int>(y10.size());
    const int n = 6 * n1;

    std::vector<double> est(p + 2);
    double** exact = dmatrix(0, p + 1, 0, p + 1);
    int conv = 0;
    auto t0 = std::chrono::steady_clock::now();
    EM_quan2_time(n, n10, n1, p, c10.data(), y10.data(), g.data(), z, est.data(), exact, &conv);
    const double t_exact = seconds_since(t0);

    // The same fit, then the block by Woodbury.
    double** GZ = tds_detail::burden_design(n1, p, g.data(), z);
    std::vector<double> eta(p + 1), qm(n1), etaW(n1);
    double** phi = dmatrix(0, n10 - 1, 0, n1 - 1);
    double s = 0;
    t0 = std::chrono::steady_clock::now();
    tds_detail::em_fit(n, n10, n1, p + 1, c10.data(), y10.data(), GZ, eta.data(), &s, qm.data(), etaW.data(), phi,
                       &conv, tds_detail::kTolerance, tds_detail::kMaxIterations);
    const double t_fit = seconds_since(t0);
    double** low = dmatrix(0, p + 1, 0, p + 1);
    t0 = std::chrono::steady_clock::now();
    woodbury_full_fit_cov(n, n10, n1, p, c10.data(), y10.data(), GZ, s, qm.data(), etaW.data(), phi, low);
    const double t_low = seconds_since(t0);

    double worst = 0.0, worst_diag = 0.0;
    for (int a = 0; a <= p + 1; ++a)
        for (int b = 0; b <= p + 1; ++b) {
            const double scale = std::sqrt(std::fabs(exact[a][a] * exact[b][b]));
            const double rel = std::fabs(low[a][b] - exact[a][b]) / scale;
            if (rel > worst) worst = rel;
            if (a == b && rel > worst_diag) worst_diag = rel;
        }
    std::printf("n1=%5d records=%5d EM %4d it | program: fit %6.3f s + information and block %6.3f s | "
                "Woodbury: information and block %6.3f s (per gene with the fit %6.3f s) | "
                "largest difference %.1e (variances %.1e) relative\n",
                n1, n10, conv, t_fit, t_exact - t_fit, t_low, t_fit + t_low, worst, worst_diag);
    std::fflush(stdout);
    free_dmatrix(low, 0, p + 1, 0, p + 1);
    free_dmatrix(phi, 0, n10 - 1, 0, n1 - 1);
    free_dmatrix(GZ, 0, n1 - 1, 0, p);
    free_dmatrix(exact, 0, p + 1, 0, p + 1);
    free_dmatrix(z, 0, n1 - 1, 0, p - 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {1000, 2000, 4000};
    if (argc > 1) {
        sizes.clear();
        for (int a = 1; a < argc; ++a) sizes.push_back(std::atoi(argv[a]));
    }
    for (int n1 : sizes) run(n1);
    return 0;
}
