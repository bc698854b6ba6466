// Times the Crout decomposition (ludcmp) and the whole inverse (invv) of
// random dense matrices, with the AVX2 kernels and with the SSE2 ones, and
// checks that both give the same bits.  Each figure is the best of three.
//   usage: bench_crout [N ...]   (default 500 1000 2000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "numerics/linear_algebra.h"
#include "numerics/offset_arrays.h"
#include "numerics/simd_pairs.h"

namespace {

double** random_matrix(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    double** a = dmatrix(1, n, 1, n);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) a[i][j] = normal(gen);
    return a;
}

// Best of three seconds of fn on fresh copies; the last result stays in out.
template <class Fn>
double best_of_three(int n, double** out, Fn fn) {
    double best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        double** a = random_matrix(n, 99);
        const auto t0 = std::chrono::steady_clock::now();
        fn(a);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        for (int i = 1; i <= n; ++i) std::memcpy(&out[i][1], &a[i][1], sizeof(double) * n);
        free_dmatrix(a, 1, n, 1, n);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {500, 1000, 2000};
    if (argc > 1) {
        sizes.clear();
        for (int a = 1; a < argc; ++a) sizes.push_back(std::atoi(argv[a]));
    }
    const bool quads = simdQuads();
    for (int n : sizes) {
        int* indx = ivector(1, n);
        double** lu[2] = {dmatrix(1, n, 1, n), dmatrix(1, n, 1, n)};
        double** inv[2] = {dmatrix(1, n, 1, n), dmatrix(1, n, 1, n)};
        double t_lu[2] = {0, 0}, t_inv[2] = {0, 0};
        for (int w = 0; w < 2; ++w) {
            setSimdQuads(w == 1);
            if (w == 1 && !simdQuads()) break;
            t_lu[w] = best_of_three(n, lu[w], [&](double** a) { ludcmp(a, n, indx); });
            t_inv[w] = best_of_three(n, inv[w], [&](double** a) { invv(a, n); });
        }
        setSimdQuads(quads);
        const char* same = "no AVX2 here";
        if (t_lu[1] > 0) {
            same = "identical";
            for (int i = 1; i <= n; ++i)
                if (std::memcmp(&lu[0][i][1], &lu[1][i][1], sizeof(double) * n) != 0 ||
                    std::memcmp(&inv[0][i][1], &inv[1][i][1], sizeof(double) * n) != 0)
                    same = "DIFFERENT";
        }
        std::printf("n=%5d  ludcmp: SSE2 %7.3f s, AVX2 %7.3f s   invv: SSE2 %7.3f s, AVX2 %7.3f s   bits %s\n", n,
                    t_lu[0], t_lu[1], t_inv[0], t_inv[1], same);
        std::fflush(stdout);
        for (int w = 0; w < 2; ++w) {
            free_dmatrix(lu[w], 1, n, 1, n);
            free_dmatrix(inv[w], 1, n, 1, n);
        }
        free_ivector(indx, 1, n);
    }
    return 0;
}
