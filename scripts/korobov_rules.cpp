// Finds the Korobov factors of the lattice rules in numerics/normal_max_lattice.cpp.
//
// For each number of points N (a prime) the rank-1 rule with generating
// vector (1, a, a^2, ..., a^18) mod N whose weighted P_2 criterion (Sloan and
// Joe 1994; the worst-case error of the rule in the weighted Korobov space of
// smoothness 2)
//
//   P(a) = -1 + (1/N) sum_{k=0}^{N-1} prod_{j=1}^{19} (1 + w_j 2 pi^2 B2({k a^(j-1) / N})),
//   B2(x) = x^2 - x + 1/6, w_j = 1/j^2,
//
// is smallest over 1 < a < N/2 (the first such a on ties; a and N - a give
// the same rule).  The weights make the leading coordinates, which the
// ordering of the variables makes the most important, count most.
//
// Build and run (about five minutes, most of it for the largest rules):
//   g++ -O2 -o korobov_rules scripts/korobov_rules.cpp && ./korobov_rules
// It prints one line per rule: N, a and P(a).
#include <cmath>
#include <cstdio>
#include <vector>

int main() {
    const int primes[] = {127,  251,  383,   509,   761,   1021,  1531,  2039,  3067,
                          4093, 6143, 8191,  12281, 16381, 24571, 32749, 49139, 65521};
    const int dims = 19;
    const double pi = 3.14159265358979323846;
    std::vector<double> weight(dims);
    for (int j = 0; j < dims; ++j) weight[j] = 1.0 / ((j + 1.0) * (j + 1.0));
    for (int N : primes) {
        // 2 pi^2 B2(k / N) for every k.
        std::vector<double> b2(N);
        for (int k = 0; k < N; ++k) {
            const double x = static_cast<double>(k) / N;
            b2[k] = 2.0 * pi * pi * (x * x - x + 1.0 / 6.0);
        }
        double best = 0.0;
        long best_a = 0;
        for (long a = 2; a < N / 2; ++a) {
            double sum = 0.0;
            for (long k = 0; k < N; ++k) {
                double product = 1.0;
                long z = 1;
                for (int j = 0; j < dims; ++j) {
                    product *= 1.0 + weight[j] * b2[k * z % N];
                    z = z * a % N;
                }
                sum += product;
            }
            const double P = sum / N - 1.0;
            if (best_a == 0 || P < best) {
                best = P;
                best_a = a;
            }
        }
        std::printf("%d\t%ld\t%.6e\n", N, best_a, best);
        std::fflush(stdout);
    }
    return 0;
}
