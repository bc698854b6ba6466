// Time and accuracy of the maximum-statistic p-value (DRENNIK_metaPval_v2
// method 1 and mvn_pvalue).
//
// --genes [GENES]: the time per gene on one thread over null genes of two
// kinds, GENES of each (default 500): VT-like, 20 variants each flagged as a
// threshold (column k the burden of the k rarest variants, so the columns are
// nested); customized-like, 20 to 40 variants and 19 weight vectors (random
// halves of the variants, uniform random weights, and powers from 0 to 2 of
// the Beta(1, 25) density at the frequency).  Genotypes of 2,000 subjects
// (frequencies log-uniform from 0.001 to 0.05, no monomorphic variant); the
// covariance is that of the centred burdens and the score a draw under the
// null (U = B' e, e standard normal), as least squares makes them.  Reports
// the mean, the median, the 90th and 99th percentiles and the largest time,
// the genes above 20 ms, the flagged ones, and the share of p-values below
// 0.05 and 0.01 (about 5 % and 1 % under the null).
//
// --accuracy TSV...: the ratio of mvn_pvalue to its reference, per shape and
// number of components, and how many lie within 0.5 % and 1 %: the tables of
// tests/reference/max_statistic_reference.py (shape, d, parameters, t, p) and
// tail_reference.py --table (d, rho, t, p).
//
// --shapes [REPS]: the time per call of mvn_pvalue on nested VT-like
// (correlation sqrt(min(k, l) / max(k, l))) and equicorrelated (0.3, 0.9,
// 0.99) correlations at statistics 1.5, 2.5, 3.5, 6 and 9.5.
//
// --logs LOG...: the genes of VT or customized trait logs (one line per
// column: gene, label, count, score, lower triangle of the covariance)
// combined as the program combines them, with the time per gene.
//
// With no argument: --genes 500.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/pvalue_combination.h"
#include "numerics/offset_arrays.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- null genes ---------------------------------------------------------------

struct Gene {
    int K = 0;
    std::vector<double> U, V;  // V row-major K by K
};

constexpr int kSubjects = 2000;

// J variants: frequencies log-uniform on [0.001, 0.05], genotypes binomial
// (2, f) over the subjects, drawn again until some subject carries one.
std::vector<std::vector<double>> genotypes(std::mt19937_64& g, int J, std::vector<double>& maf) {
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    std::vector<std::vector<double>> G(J, std::vector<double>(kSubjects));
    maf.resize(J);
    for (int j = 0; j < J; ++j) {
        for (int carriers = 0; carriers == 0;) {
            maf[j] = std::exp(std::log(0.001) + unif(g) * (std::log(0.05) - std::log(0.001)));
            std::binomial_distribution<int> binom(2, maf[j]);
            for (int i = 0; i < kSubjects; ++i) {
                G[j][i] = binom(g);
                carriers += G[j][i] > 0;
            }
        }
    }
    return G;
}

// vt: 20 nested burdens; otherwise 19 weight vectors over 20 to 40 variants.
Gene null_gene(std::mt19937_64& g, bool vt) {
    std::uniform_real_distribution<double> unif(0.0, 1.0);
    const int J = vt ? 20 : 20 + static_cast<int>(unif(g) * 21);
    std::vector<double> maf;
    const auto G = genotypes(g, J, maf);
    const int K = vt ? 20 : 19;
    std::vector<std::vector<double>> W(K, std::vector<double>(J, 0.0));
    if (vt) {
        std::vector<int> order(J);
        for (int j = 0; j < J; ++j) order[j] = j;
        std::sort(order.begin(), order.end(), [&](int a, int b) { return maf[a] < maf[b]; });
        for (int k = 0; k < K; ++k)
            for (int q = 0; q <= k; ++q) W[k][order[q]] = 1.0;
    } else {
        for (int k = 0; k < K; ++k) {
            const int kind = static_cast<int>(unif(g) * 3);
            const double power = 2.0 * unif(g);
            double total = 0.0;
            for (int j = 0; j < J; ++j) {
                if (kind == 0) W[k][j] = unif(g) < 0.5 ? 1.0 : 0.0;
                else if (kind == 1) W[k][j] = unif(g);
                else W[k][j] = std::pow(25.0 * std::pow(1.0 - maf[j], 24.0), power);
                total += W[k][j];
            }
            if (total == 0.0) W[k][static_cast<int>(unif(g) * J)] = 1.0;
        }
    }
    std::vector<std::vector<double>> B(K, std::vector<double>(kSubjects, 0.0));
    for (int k = 0; k < K; ++k) {
        for (int j = 0; j < J; ++j)
            if (W[k][j] != 0.0)
                for (int i = 0; i < kSubjects; ++i) B[k][i] += W[k][j] * G[j][i];
        double mean = 0.0;
        for (double b : B[k]) mean += b;
        mean /= kSubjects;
        for (double& b : B[k]) b -= mean;
    }
    Gene gene;
    gene.K = K;
    gene.U.assign(K, 0.0);
    gene.V.assign(static_cast<std::size_t>(K) * K, 0.0);
    for (int a = 0; a < K; ++a)
        for (int b = 0; b <= a; ++b) {
            double s = 0.0;
            for (int i = 0; i < kSubjects; ++i) s += B[a][i] * B[b][i];
            gene.V[static_cast<std::size_t>(a) * K + b] = gene.V[static_cast<std::size_t>(b) * K + a] = s;
        }
    std::normal_distribution<double> normal;
    std::vector<double> e(kSubjects);
    for (double& x : e) x = normal(g);
    for (int a = 0; a < K; ++a) {
        double s = 0.0;
        for (int i = 0; i < kSubjects; ++i) s += B[a][i] * e[i];
        gene.U[a] = s;
    }
    return gene;
}

void genes(int count) {
    std::printf("kind\tgenes\tmean_ms\tp50_ms\tp90_ms\tp99_ms\tmax_ms\tabove_20ms\tflagged\tbelow_0.05\tbelow_0.01\n");
    for (bool vt : {true, false}) {
        std::mt19937_64 g(vt ? 20261 : 20262);
        std::vector<double> ms;
        int flagged = 0, below5 = 0, below1 = 0;
        for (int q = 0; q < count; ++q) {
            Gene gene = null_gene(g, vt);
            const int K = gene.K;
            double** V = dmatrix(0, K - 1, 0, K - 1);
            for (int a = 0; a < K; ++a)
                for (int b = 0; b < K; ++b) V[a][b] = gene.V[static_cast<std::size_t>(a) * K + b];
            std::vector<double> w(K, 1.0);
            double T = 0, p = 0;
            int inform = 0;
            const auto start = std::chrono::steady_clock::now();
            DRENNIK_metaPval_v2(1, K, gene.U.data(), V, w.data(), &T, &p, &inform);
            ms.push_back(1e3 * seconds_since(start));
            free_dmatrix(V, 0, K - 1, 0, K - 1);
            flagged += inform != 0;
            below5 += p < 0.05;
            below1 += p < 0.01;
        }
        double total = 0.0;
        for (double x : ms) total += x;
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        auto pct = [&](double f) { return sorted[std::min(count - 1, static_cast<int>(std::ceil(f * count)) - 1)]; };
        const int above = static_cast<int>(std::count_if(ms.begin(), ms.end(), [](double x) { return x > 20.0; }));
        std::printf("%s\t%d\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%d\t%d\t%.3f\t%.3f\n", vt ? "VT_20_thresholds" : "customized_19",
                    count, total / count, pct(0.5), pct(0.9), pct(0.99), sorted.back(), above, flagged,
                    static_cast<double>(below5) / count, static_cast<double>(below1) / count);
        std::fflush(stdout);
    }
}

// ---- accuracy -----------------------------------------------------------------

std::vector<double> split_numbers(const std::string& s) {
    std::vector<double> v;
    std::stringstream in(s);
    std::string one;
    while (std::getline(in, one, ',')) v.push_back(std::strtod(one.c_str(), nullptr));
    return v;
}

// R for a reference line: equicorrelated (rho), one factor (loadings l_k:
// l_a l_b) or nested sums (variances v_k: sqrt(v_min / v_max)).
void reference_matrix(const std::string& shape, int d, const std::string& params, double** R) {
    const std::vector<double> v = split_numbers(params);
    for (int i = 1; i <= d; ++i)
        for (int j = 1; j <= d; ++j) {
            if (i == j) R[i][j] = 1.0;
            else if (shape == "equicorrelated") R[i][j] = v[0];
            else if (shape == "factor") R[i][j] = v[i - 1] * v[j - 1];
            else R[i][j] = std::sqrt(std::min(v[i - 1], v[j - 1]) / std::max(v[i - 1], v[j - 1]));
        }
}

void accuracy(const std::vector<std::string>& paths) {
    struct Range {
        int count = 0;
        double lowest = 1e300, highest = -1e300;
    };
    // Per shape and d, and per band of p.
    std::map<std::tuple<std::string, int, std::string>, Range> by_case;
    std::map<std::string, Range> by_band;
    int total = 0, within_half = 0, within_one = 0, flags = 0;
    double slowest = 0.0;
    for (const auto& path : paths) {
        std::ifstream in(path);
        std::string line;
        std::getline(in, line);
        const bool old_format = line.rfind("d\t", 0) == 0;
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string shape = "equicorrelated", params, t, p;
            int d;
            if (old_format) f >> d >> params >> t >> p;
            else f >> shape >> d >> params >> t >> p;
            double** R = dmatrix(1, d, 1, d);
            reference_matrix(shape, d, params, R);
            int flag = 0;
            const auto start = std::chrono::steady_clock::now();
            const double got = mvn_pvalue(d, std::strtod(t.c_str(), nullptr), R, &flag);
            slowest = std::max(slowest, 1e3 * seconds_since(start));
            free_dmatrix(R, 1, d, 1, d);
            const double want = std::strtod(p.c_str(), nullptr);
            const double ratio = got / want;
            std::string label = "equi " + params;
            if (shape == "factor") {
                label = params[0] == '-' || params.find(",-") != std::string::npos ? "factor, signs alternate" : "factor";
            } else if (shape == "nested") {
                label = split_numbers(params)[1] == 2.0 ? "nested, equal steps" : "nested, growing steps";
            }
            const std::string band = want >= 0.1 ? "p >= 0.1" : want >= 1e-4 ? "1e-4 <= p < 0.1" : "p < 1e-4";
            for (Range* r : {&by_case[{label, d, ""}], &by_band[band]}) {
                ++r->count;
                r->lowest = std::min(r->lowest, ratio);
                r->highest = std::max(r->highest, ratio);
            }
            ++total;
            within_half += std::fabs(ratio - 1.0) <= 0.005;
            within_one += std::fabs(ratio - 1.0) <= 0.01;
            if (flag != 0) {
                ++flags;
                std::printf("flag %d: %s d=%d t=%s\n", flag, label.c_str(), d, t.c_str());
            }
        }
    }
    std::printf("shape\td\tvalues\tlowest_ratio\thighest_ratio\n");
    for (const auto& [key, r] : by_case)
        std::printf("%s\t%d\t%d\t%.5f\t%.5f\n", std::get<0>(key).c_str(), std::get<1>(key), r.count, r.lowest, r.highest);
    for (const auto& [band, r] : by_band)
        std::printf("%s\t\t%d\t%.5f\t%.5f\n", band.c_str(), r.count, r.lowest, r.highest);
    std::printf("all\t\t%d values, %d within 0.5 %%, %d within 1 %%, %d flagged; slowest call %.1f ms\n", total,
                within_half, within_one, flags, slowest);
}

// ---- shapes -------------------------------------------------------------------

void fill(double** R, int d, int shape) {
    const double rho[] = {0.3, 0.9, 0.99};
    for (int i = 1; i <= d; ++i)
        for (int j = 1; j <= d; ++j) {
            if (i == j) R[i][j] = 1.0;
            else if (shape < 3) R[i][j] = rho[shape];
            else R[i][j] = std::sqrt(static_cast<double>(std::min(i, j)) / std::max(i, j));
        }
}

void shapes(int reps) {
    const char* names[] = {"equi0.3", "equi0.9", "equi0.99", "nested"};
    std::printf("d\tshape\tt\tp\tinform\tms_per_call\n");
    for (int d : {3, 5, 10, 15, 20}) {
        double** R = dmatrix(1, d, 1, d);
        for (int shape : {3, 0, 1, 2}) {
            fill(R, d, shape);
            for (double t : {1.5, 2.5, 3.5, 6.0, 9.5}) {
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
}

// ---- trait logs ---------------------------------------------------------------

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
    int count = 0, small = 0;
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
        ++count;
        total += ms;
        slowest = std::max(slowest, ms);
        if (p < 0.1) {
            ++small;
            total_small += ms;
        }
        a = b;
    }
    std::printf("%s\tgenes %d\tmean_ms %.3f\tbelow_0.1 %d\tmean_ms_below_0.1 %.3f\tslowest_ms %.3f\n", path, count,
                total / count, small, small ? total_small / small : 0.0, slowest);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "--genes";
    if (mode == "--genes") {
        genes(argc > 2 ? std::atoi(argv[2]) : 500);
    } else if (mode == "--accuracy") {
        accuracy(std::vector<std::string>(argv + 2, argv + argc));
    } else if (mode == "--shapes") {
        shapes(argc > 2 ? std::atoi(argv[2]) : 3);
    } else if (mode == "--logs") {
        for (int i = 2; i < argc; ++i) replay(argv[i]);
    } else {
        std::fprintf(stderr,
                     "usage: bench_max_statistic [--genes [GENES] | --accuracy TSV... | --shapes [REPS] | --logs LOG...]\n");
        return 2;
    }
    return 0;
}
