// Accuracy and time of the variance-component tail (qf_upper_tail) against
// the 50-digit references of tests/reference/vc_tail_reference.py --table
// (closed forms for equal coefficients, the Ruben-Moschopoulos series for
// unequal ones), and its time per call on 50 coefficients; beside it, for the
// points from 1e-3 to 1e-7, Davies' value (davies_upper_tail, accuracy 1e-8)
// and the p-value that the program reports (SKAT on a diagonal
// covariance, whose eigenvalues are the coefficients).
//
// Usage: bench_vc_tail REFERENCE_TSV [repetitions (default 20)]
// Prints one line per reference point (set, r, q, reference, computed, ratio,
// microseconds per call, and above 1e-8 the ratios of Davies' value and of
// the reported one), then per set the worst ratios, and the time of a call on
// 50 unequal coefficients at a few statistics.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/pvalue_combination.h"
#include "numerics/offset_arrays.h"
#include "numerics/quadratic_form_tail.h"

namespace {

struct Point {
    std::string set;
    std::vector<double> lambda;
    double q = 0, p = 0;
};

std::vector<Point> read_table(const char* path) {
    std::vector<Point> out;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        Point pt;
        std::string r, lambdas, q, p;
        std::getline(f, pt.set, '\t');
        std::getline(f, r, '\t');
        std::getline(f, lambdas, '\t');
        std::getline(f, q, '\t');
        std::getline(f, p, '\t');
        std::istringstream l(lambdas);
        std::string one;
        while (std::getline(l, one, ',')) pt.lambda.push_back(std::strtod(one.c_str(), nullptr));
        pt.q = std::strtod(q.c_str(), nullptr);
        pt.p = std::strtod(p.c_str(), nullptr);
        out.push_back(pt);
    }
    return out;
}

double micros_per_call(const std::vector<double>& lambda, double q, int reps, double* p) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) *p = qf_upper_tail(static_cast<int>(lambda.size()), lambda.data(), q);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / reps;
}

// The reported p-value: SKAT on diag(lambda), weights 1, Q = sqrt(q)^2 (*q
// becomes that Q, which Davies' value is then taken at as well).
double reported(const std::vector<double>& lambda, double* q) {
    const int m = static_cast<int>(lambda.size());
    double** cov = dmatrix(0, m - 1, 0, m - 1);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) cov[i][j] = i == j ? lambda[i] : 0.0;
    std::vector<double> S(m, 0.0), w(m, 1.0);
    S[0] = std::sqrt(*q);
    double T = 0, p = 0;
    int inform = 0;
    SKAT(m, S.data(), cov, w.data(), &T, &p, &inform);
    free_dmatrix(cov, 0, m - 1, 0, m - 1);
    *q = T;
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_vc_tail REFERENCE_TSV [repetitions]\n");
        return 2;
    }
    const int reps = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::vector<Point> table = read_table(argv[1]);
    using Range = std::pair<double, double>;  // lowest, highest ratio
    auto widen = [](std::map<std::string, Range>& m, const std::string& set, double ratio) {
        auto it = m.find(set);
        if (it == m.end()) m[set] = {ratio, ratio};
        else it->second = {std::fmin(it->second.first, ratio), std::fmax(it->second.second, ratio)};
    };
    std::map<std::string, Range> range, davies_range, reported_range;
    std::map<std::string, double> slowest;
    std::printf("set\tr\tq\treference\tcomputed\tratio\tus_per_call\tdavies_ratio\treported_ratio\n");
    for (const Point& pt : table) {
        double p = 0;
        const double us = micros_per_call(pt.lambda, pt.q, reps, &p);
        const double ratio = p / pt.p;
        std::printf("%s\t%zu\t%.6g\t%.6e\t%.6e\t%.9f\t%.1f", pt.set.c_str(), pt.lambda.size(), pt.q, pt.p, p, ratio,
                    us);
        widen(range, pt.set, ratio);
        slowest[pt.set] = std::fmax(slowest[pt.set], us);
        if (pt.p > 1e-8) {
            // Q = sqrt(q)^2 differs from q in the last bit or so: a relative
            // change of about q/(2 lambda_max) 1e-16 in the tail, far below
            // the ratios shown.
            double Q = pt.q;
            const double rep = reported(pt.lambda, &Q) / pt.p;
            std::vector<double> ascending = pt.lambda;
            std::sort(ascending.begin(), ascending.end());
            int ifault = 0;
            const int r = static_cast<int>(ascending.size());
            const double dav = davies_upper_tail(r, ascending.data(), Q, &ifault) / pt.p;
            std::printf("\t%.6f\t%.9f", dav, rep);
            widen(davies_range, pt.set, dav);
            widen(reported_range, pt.set, rep);
        }
        std::printf("\n");
    }
    std::printf("\nset\tlowest_ratio\thighest_ratio\tslowest_us\tdavies_lowest\tdavies_highest\treported_lowest\t"
                "reported_highest\n");
    for (const auto& [set, lh] : range) {
        std::printf("%s\t%.9f\t%.9f\t%.1f", set.c_str(), lh.first, lh.second, slowest[set]);
        if (davies_range.count(set) != 0)
            std::printf("\t%.6f\t%.6f\t%.9f\t%.9f", davies_range[set].first, davies_range[set].second,
                        reported_range[set].first, reported_range[set].second);
        std::printf("\n");
    }

    // 50 coefficients spread over five orders of magnitude (as the eigen cut
    // of the variance component allows) at statistics from 1e-7 down.
    std::vector<double> lambda(50);
    for (int j = 0; j < 50; ++j) lambda[j] = std::pow(10.0, -5.0 * j / 49.0);
    std::printf("\n50 coefficients from 1 to 1e-5\nq\tp\tus_per_call\n");
    for (double q : {40.0, 80.0, 200.0, 600.0, 1400.0}) {
        double p = 0;
        const double us = micros_per_call(lambda, q, reps, &p);
        std::printf("%.0f\t%.6e\t%.1f\n", q, p, us);
    }
    return 0;
}
