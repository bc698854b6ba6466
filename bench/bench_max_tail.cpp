// Timing of the tail p-value of the maximum statistic (maxnormal_tail, ALOE
// importance sampling) and of the whole of mvn_pvalue, on correlation shapes
// met in practice: equicorrelated (rho = 0.3, 0.9, 0.99) and nested VT-like
// thresholds (column k the sum of the first k of d independent variants,
// correlation sqrt(min(k, l) / max(k, l))), at thresholds t = 3.5, 6 and 9.5.
//
// Usage: bench_max_tail [repetitions (default 3)]
// Columns: d, shape, t, p, estimated relative error, inform, seconds of the
// tail method (mean over repetitions), seconds of mvn_pvalue (stage 1 and tail).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/pvalue_combination.h"
#include "numerics/normal_max_tail.h"
#include "numerics/offset_arrays.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void fill(double** R, int d, int shape) {
    const double rho[] = {0.3, 0.9, 0.99};
    for (int i = 1; i <= d; ++i)
        for (int j = 1; j <= d; ++j) {
            if (i == j) R[i][j] = 1.0;
            else if (shape < 3) R[i][j] = rho[shape];
            else R[i][j] = std::sqrt(static_cast<double>(i < j ? i : j) / (i < j ? j : i));
        }
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
    const char* names[] = {"equi0.3", "equi0.9", "equi0.99", "nested"};
    std::printf("d\tshape\tt\tp\trelerr\tinform\ttail_s\tmvn_pvalue_s\n");
    for (int d : {5, 10, 15, 20}) {
        double** R = dmatrix(1, d, 1, d);
        for (int shape = 0; shape < 4; ++shape) {
            fill(R, d, shape);
            for (double t : {3.5, 6.0, 9.5}) {
                double p = 0, relerr = 0;
                int inform = 0;
                auto start = std::chrono::steady_clock::now();
                for (int r = 0; r < reps; ++r) p = maxnormal_tail(d, t, R, 0.01, &relerr, &inform);
                const double tail_s = seconds_since(start) / reps;
                int flag = 0;
                start = std::chrono::steady_clock::now();
                for (int r = 0; r < reps; ++r) mvn_pvalue(d, t, R, &flag);
                const double total_s = seconds_since(start) / reps;
                std::printf("%d\t%s\t%.1f\t%.4e\t%.4f\t%d\t%.4f\t%.4f\n", d, names[shape], t, p, relerr, inform, tail_s,
                            total_s);
                std::fflush(stdout);
            }
        }
        free_dmatrix(R, 1, d, 1, d);
    }
    return 0;
}
