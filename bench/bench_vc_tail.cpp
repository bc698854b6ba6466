// Accuracy and time of the variance-component tail (qf_upper_tail) against
// the 50-digit references of tests/reference/vc_tail_reference.py --table
// (closed forms for equal coefficients, the Ruben-Moschopoulos series for
// unequal ones), and its time per call on 50 coefficients.
//
// Usage: bench_vc_tail REFERENCE_TSV [repetitions (default 20)]
// Prints one line per reference point (set, r, q, reference, computed, ratio,
// microseconds per call), then per set the worst ratio, and the time of a call
// on 50 unequal coefficients at a few statistics.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_vc_tail REFERENCE_TSV [repetitions]\n");
        return 2;
    }
    const int reps = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::vector<Point> table = read_table(argv[1]);
    std::map<std::string, std::pair<double, double>> range;  // set -> (lowest, highest ratio)
    std::map<std::string, double> slowest;
    std::printf("set\tr\tq\treference\tcomputed\tratio\tus_per_call\n");
    for (const Point& pt : table) {
        double p = 0;
        const double us = micros_per_call(pt.lambda, pt.q, reps, &p);
        const double ratio = p / pt.p;
        std::printf("%s\t%zu\t%.6g\t%.6e\t%.6e\t%.9f\t%.1f\n", pt.set.c_str(), pt.lambda.size(), pt.q, pt.p, p, ratio,
                    us);
        auto it = range.find(pt.set);
        if (it == range.end()) range[pt.set] = {ratio, ratio};
        else it->second = {std::fmin(it->second.first, ratio), std::fmax(it->second.second, ratio)};
        slowest[pt.set] = std::fmax(slowest[pt.set], us);
    }
    std::printf("\nset\tlowest_ratio\thighest_ratio\tslowest_us\n");
    for (const auto& [set, lh] : range)
        std::printf("%s\t%.9f\t%.9f\t%.1f\n", set.c_str(), lh.first, lh.second, slowest[set]);

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
