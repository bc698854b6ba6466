// Times the steps of the MLE analyses for growing numbers of sequenced
// subjects n1, with five non-sequenced subjects per sequenced one pooled into
// a given number of distinct trait values (the records; -rounding bounds it,
// 500 by default):
//   null fit      the EM on the covariates (once per run)
//   null info     the information of that fit with the nuisance parameters
//                 profiled out (once per run, kept by the null-fit cache)
//   full fit      EM_quan2_time: the EM on (burden, covariates) and the
//                 covariance of its estimates (once per gene and trait)
//   score         the cached primary score test of one burden (per gene)
//   VC 50         the efficient covariance of 50 per-variant columns
// and the peak resident memory of the process so far.
//   usage: bench_tds_em [--records R] [--sse2] [N1 ...]   (default R 300, N1 2000 4000 8000)
// --sse2 runs the kernels in SSE2 registers even where AVX2 is there.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/tds_em.h"
// The engine's internal steps: no public routine fits the null model without
// profiling its information, or profiles it without a gene's columns.
#include "engine/tds_em_detail.h"
#include "engine/tds_primary_builders.h"
#include "numerics/offset_arrays.h"
#include "numerics/vector_lanes.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double peak_megabytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

void run(int n1, int records) {
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
    // Non-sequenced subjects: 5*n1 values on a grid of about `records`
    // distinct values over [-4, 4].
    const double step = 8.0 / records;
    std::map<double, int> counts;
    for (int i = 0; i < 5 * n1; ++i) {
        const double v = std::fmin(3.999, std::fmax(-3.999, 0.3 * normal(gen) + normal(gen)));
        counts[std::round(v / step) * step] += 1;
    }
    std::vector<double> y10 = y;
    std::vector<int> c10(n1, 1);
    for (const auto& [value, count] : counts) {
        y10.push_back(value);
        c10.push_back(count);
    }
    const int n10 = static_cast<int>(y10.size());
    const int n = n1 + 5 * n1;
    double** Z = dmatrix(0, n1 - 1, 0, p - 1);
    for (int j = 0; j < n1; ++j)
        for (int k = 0; k < p; ++k) Z[j][k] = z[j][k];

    auto t0 = std::chrono::steady_clock::now();
    const tds_detail::EmFit fit =
        tds_detail::fit_em(n, n10, n1, p, c10.data(), y10.data(), Z, tds_detail::kTolerance, tds_detail::kMaxIterations);
    const double t_null = seconds_since(t0);
    const tds_detail::RecordsView rec{n, n10, n1, c10.data(), y10.data()};
    t0 = std::chrono::steady_clock::now();
    const tds_detail::NullInformation info(rec, fit.view(), Z, 0, p);
    const double t_info = seconds_since(t0);

    std::vector<double> est(p + 2);
    double** cov = dmatrix(0, p + 1, 0, p + 1);
    int conv = 0;
    t0 = std::chrono::steady_clock::now();
    EM_quan2_time(n, n10, n1, p, c10.data(), y10.data(), g.data(), Z, est.data(), cov, &conv);
    const double t_full = seconds_since(t0);

    double** GZ = tds_detail::burden_design(n1, p, g.data(), Z);
    double U1[1];
    double** V1 = dmatrix(0, 0, 0, 0);
    t0 = std::chrono::steady_clock::now();
    info.efficient(GZ, 1, U1, V1);
    const double U = tds_detail::burden_score(rec, fit, g.data());
    const double t_score = seconds_since(t0);

    const int K = 50;
    double** SZ = dmatrix(0, n1 - 1, 0, K - 1);
    std::bernoulli_distribution rare(0.02);
    for (int j = 0; j < n1; ++j)
        for (int k = 0; k < K; ++k) SZ[j][k] = rare(gen) ? 1.0 : 0.0;
    std::vector<double> UK(K);
    double** covK = dmatrix(0, K - 1, 0, K - 1);
    t0 = std::chrono::steady_clock::now();
    info.efficient(SZ, K, UK.data(), covK);
    const double t_vc = seconds_since(t0);

    std::printf("n1=%5d records=%5d  null fit %7.3f s (%3d it)  null info %7.3f s  full fit %7.3f s (%3d it, "
                "beta=%+.4f se=%.4f)  score %7.4f s (T=%+.4f)  VC 50 %7.4f s  peak %6.0f MB\n",
                n1, n10 - n1, t_null, fit.EMconvergeN, t_info, t_full, conv, est[0], std::sqrt(cov[0][0]), t_score,
                U / std::sqrt(V1[0][0]), t_vc, peak_megabytes());
    std::fflush(stdout);
    free_dmatrix(covK, 0, K - 1, 0, K - 1);
    free_dmatrix(SZ, 0, n1 - 1, 0, K - 1);
    free_dmatrix(V1, 0, 0, 0, 0);
    free_dmatrix(GZ, 0, n1 - 1, 0, p);
    free_dmatrix(cov, 0, p + 1, 0, p + 1);
    free_dmatrix(Z, 0, n1 - 1, 0, p - 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    int records = 300;
    for (int a = 1; a < argc; ++a) {
        if (std::string(argv[a]) == "--records" && a + 1 < argc)
            records = std::atoi(argv[++a]);
        else if (std::string(argv[a]) == "--sse2")
            setUseAvx2(false);
        else
            sizes.push_back(std::atoi(argv[a]));
    }
    if (sizes.empty()) sizes = {2000, 4000, 8000};
    for (int n1 : sizes) run(n1, records);
    return 0;
}
