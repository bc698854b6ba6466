// Timing of mymvn on the problem shape of the maximum-statistic p-value:
// n equicorrelated variables (rho = 0.5), every |X_i| <= w, zero mean, at the
// integrand budgets 5000 n^3, twice and four times that.
//
// Usage: bench_mvn [largest budget multiplier: 1, 2 or 4 (default 1)] [w (default 3)]
// The default takes about a minute; multiplier 4 about nine.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "numerics/multivariate_normal.h"
#include "numerics/offset_arrays.h"

namespace {

struct Timing {
    double seconds;
    double pvalue;
    double error;
    int inform;
};

Timing time_one(int n, double w, int maxpts, double abseps) {
    double** sigma = dmatrix(1, n, 1, n);
    double* lower = dvector(1, n);
    double* upper = dvector(1, n);
    double* mu = dvector(1, n);
    int* infin = ivector(1, n);
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= n; ++j) sigma[i][j] = i == j ? 1.0 : 0.5;
        lower[i] = -w;
        upper[i] = w;
        mu[i] = 0;
        infin[i] = 2;
    }
    Timing t{};
    const auto start = std::chrono::steady_clock::now();
    const double inside = mymvn(maxpts, abseps, n, lower, upper, infin, mu, sigma, &t.error, &t.inform);
    t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.pvalue = 1.0 - inside;
    free_ivector(infin, 1, n);
    free_dvector(mu, 1, n);
    free_dvector(upper, 1, n);
    free_dvector(lower, 1, n);
    free_dmatrix(sigma, 1, n, 1, n);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int largest = argc > 1 ? std::atoi(argv[1]) : 1;
    const double w = argc > 2 ? std::atof(argv[2]) : 3.0;
    std::printf("n\tmaxpts\tabseps\tseconds\tpvalue\terror\tinform\n");
    for (int n : {5, 10, 20}) {
        const int base = 5000 * n * n * n;
        // The loose first-stage target, then the strictest target (1e-8),
        // which spends the whole budget.
        const Timing loose = time_one(n, w, base, 0.01);
        std::printf("%d\t%d\t%g\t%.3f\t%.6g\t%.3g\t%d\n", n, base, 0.01, loose.seconds, loose.pvalue,
                    loose.error, loose.inform);
        for (int mult = 1; mult <= largest; mult *= 2) {
            const Timing strict = time_one(n, w, base * mult, 1e-8);
            std::printf("%d\t%d\t%g\t%.3f\t%.6g\t%.3g\t%d\n", n, base * mult, 1e-8, strict.seconds,
                        strict.pvalue, strict.error, strict.inform);
        }
        std::fflush(stdout);
    }
    return 0;
}
