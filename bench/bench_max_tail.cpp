// Accuracy and time of the maximum-statistic p-value (mvn_pvalue: Genz's
// integration, and below 0.1 the ALOE tail maxnormal_tail).
//
// Accuracy: against the 30-digit one-factor integrals of
// tests/reference/tail_reference.py --table (equicorrelated sets, one line
// per d, rho and statistic t); per set the lowest and highest ratio of the
// p-values below 0.1, where the tail method answers.
//
// Time: per call of mvn_pvalue on shapes met in practice: nested VT-like
// thresholds (column k the sum of the first k of d independent variants,
// correlation sqrt(min(k, l) / max(k, l))) and equicorrelated (0.3, 0.9,
// 0.99), at statistics t = 3.5, 6 and 9.5.
//
// Per gene: with --logs, the genes of VT or customized trait logs (one line
// per column: gene, label, count, score, lower triangle of the covariance)
// are combined as the program combines them, and the time per gene is
// reported (all genes, and those whose p-value falls below 0.1).
//
// Usage: bench_max_tail [REFERENCE_TSV] [repetitions (default 3)]
//        bench_max_tail --logs TRAIT_LOG...
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

void accuracy(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    std::map<std::pair<int, std::string>, std::pair<double, double>> range;
    std::map<std::pair<int, std::string>, int> count;
    double lowest = 1.0, highest = 1.0;
    int within_half = 0, total = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        int d;
        std::string rho, t, p;
        f >> d >> rho >> t >> p;
        const double want = std::strtod(p.c_str(), nullptr);
        if (!(want < 0.1)) continue;
        double** R = dmatrix(1, d, 1, d);
        for (int i = 1; i <= d; ++i)
            for (int j = 1; j <= d; ++j) R[i][j] = i == j ? 1.0 : std::strtod(rho.c_str(), nullptr);
        int flag = 0;
        const double got = mvn_pvalue(d, std::strtod(t.c_str(), nullptr), R, &flag);
        free_dmatrix(R, 1, d, 1, d);
        const double ratio = got / want;
        const auto key = std::make_pair(d, rho);
        auto it = range.find(key);
        if (it == range.end()) range[key] = {ratio, ratio};
        else it->second = {std::fmin(it->second.first, ratio), std::fmax(it->second.second, ratio)};
        ++count[key];
        lowest = std::fmin(lowest, ratio);
        highest = std::fmax(highest, ratio);
        within_half += std::fabs(ratio - 1.0) <= 0.005;
        ++total;
        if (flag != 0) std::printf("flag %d at d=%d rho=%s t=%s\n", flag, d, rho.c_str(), t.c_str());
    }
    std::printf("d\trho\tvalues\tlowest_ratio\thighest_ratio\n");
    for (const auto& [key, lh] : range)
        std::printf("%d\t%s\t%d\t%.5f\t%.5f\n", key.first, key.second.c_str(), count[key], lh.first, lh.second);
    std::printf("all\t\t%d\t%.5f\t%.5f\t(%d within 0.5 %%)\n\n", total, lowest, highest, within_half);
}

void replay(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::vector<std::pair<std::string, std::vector<std::string>>> rows;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        std::istringstream l(line);
        std::string one;
        while (std::getline(l, one, '\t')) f.push_back(one);
        rows.emplace_back(f[0], f);
    }
    int genes = 0, small = 0;
    double total = 0, total_small = 0, slowest = 0;
    for (std::size_t a = 0; a < rows.size();) {
        std::size_t b = a;
        while (b < rows.size() && rows[b].first == rows[a].first) ++b;
        const int K = static_cast<int>(b - a);
        std::vector<double> U(K), w(K, 1.0);
        double** V = dmatrix(0, K - 1, 0, K - 1);
        for (int i = 0; i < K; ++i) {
            const auto& f = rows[a + i].second;
            U[i] = std::strtod(f[3].c_str(), nullptr);
            for (int j = 0; j <= i; ++j) V[i][j] = V[j][i] = std::strtod(f[4 + j].c_str(), nullptr);
        }
        double T = 0, p = 0;
        int inform = 0;
        const auto start = std::chrono::steady_clock::now();
        DRENNIK_metaPval_v2(1, K, U.data(), V, w.data(), &T, &p, &inform);
        const double ms = 1e3 * seconds_since(start);
        free_dmatrix(V, 0, K - 1, 0, K - 1);
        ++genes;
        total += ms;
        slowest = std::fmax(slowest, ms);
        if (p < 0.1) {
            ++small;
            total_small += ms;
        }
        a = b;
    }
    std::printf("%s\tgenes %d\tmean_ms %.3f\tbelow_0.1 %d\tmean_ms_below_0.1 %.3f\tslowest_ms %.3f\n", path, genes,
                total / genes, small, small ? total_small / small : 0.0, slowest);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--logs") {
        for (int i = 2; i < argc; ++i) replay(argv[i]);
        return 0;
    }
    int arg = 1;
    if (argc > arg && std::strtol(argv[arg], nullptr, 10) == 0) accuracy(argv[arg++]);
    const int reps = argc > arg ? std::atoi(argv[arg]) : 3;
    const char* names[] = {"equi0.3", "equi0.9", "equi0.99", "nested"};
    std::printf("d\tshape\tt\tp\tinform\tms_per_call\n");
    for (int d : {3, 5, 10, 15, 20}) {
        double** R = dmatrix(1, d, 1, d);
        for (int shape : {3, 0, 1, 2}) {
            fill(R, d, shape);
            for (double t : {3.5, 6.0, 9.5}) {
                int flag = 0;
                double p = 0;
                const auto start = std::chrono::steady_clock::now();
                for (int r = 0; r < reps; ++r) p = mvn_pvalue(d, t, R, &flag);
                const double ms = 1e3 * seconds_since(start) / reps;
                std::printf("%d\t%s\t%.1f\t%.4e\t%d\t%.2f\n", d, names[shape], t, p, flag, ms);
                std::fflush(stdout);
            }
        }
        free_dmatrix(R, 1, d, 1, d);
    }
    return 0;
}
