// Whole MLE runs of the VT, VC and customized tests under trait-dependent
// sampling, on the primary trait and on two secondary traits: every result
// row and trait-log record is compared, byte for byte, with the engine's
// builders and p-value combination called here on arrays that the test
// builds itself (pooled records, subject order of each secondary trait,
// thresholds, weights).  Three genes, so that a value kept from one gene to
// the next would show.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/pvalue_combination.h"
#include "engine/tds_primary_builders.h"
#include "engine/tds_secondary_builders.h"
#include "numerics/offset_arrays.h"
#include "run_folder.h"

namespace {

constexpr double NA = -999.0;
constexpr int N1 = 10;

const std::vector<double> kY = {1.2, 0.7, 2.3, 1.9, 0.4, 1.1, 2.8, 1.5, 0.9, 2.1};
const std::vector<double> kS1 = {3.1, 2.2, NA, 3.8, 2.6, 2.9, 4.1, NA, 3.3, 2.7};
const std::vector<double> kS2 = {5.5, 6.1, 4.9, 5.8, 6.6, 5.2, 4.4, 6.0, 5.1, 4.7};
const std::vector<double> kSex = {0, 1, 1, 0, 0, 1, 0, 1, 1, 0};
const std::vector<double> kNonseq = {0.3, 2.5, 1.0, 0.3, 3.1, 1.7, 2.5, 0.9, 2.0, 1.4, 0.6, 2.2};

struct Variant {
    const char* id;
    double maf;  // mapping frequency
    std::map<int, double> calls;  // subject -> value; others 0
};
const std::vector<Variant> kVariants = {
    {"v1", 0.01, {{0, 1}, {3, 1}, {8, 1}}},         {"v2", 0.03, {{1, 1}, {4, 2}, {6, NA}}},
    {"v3", 0.02, {{2, 1}, {5, 1}, {9, 1}}},         {"w1", 0.02, {{0, 1}, {6, 1}}},
    {"w2", 0.02, {{3, 1}, {7, 1}, {9, NA}}},        {"u1", 0.01, {{4, 1}, {8, 1}}},
};

struct Gene {
    const char* id;
    std::vector<int> variants;               // indices into kVariants, genotype-file order
    std::vector<double> thresh;              // VT thresholds (by hand: distinct frequencies in variant order)
    std::vector<std::vector<double>> wt;     // customized weight vectors over the variants
};
const std::vector<Gene> kGenes = {
    {"G1", {0, 1, 2}, {0.01, 0.03, 0.02}, {{1, 0.5, 1}, {2, 0, 1}}},
    {"G2", {3, 4}, {0.02}, {{1, 3}}},
    {"G3", {5}, {0.01}, {}},  // no weight row: no customized row
};

double value(int v, int i) {
    const auto it = kVariants[v].calls.find(i);
    return it == kVariants[v].calls.end() ? 0.0 : it->second;
}

// The study's input files: phenotypes with y, s1, s2 and sex, genotypes,
// mapping and weights.
class StudyFolder : public RunFolder {
public:
    StudyFolder() {
        write("pheno_seq.txt", tableText({"y", "s1", "s2", "sex"}, {kY, kS1, kS2, kSex}));
        write("pheno_nonseq.txt", tableText({}, {kNonseq}));
        std::string geno, map;
        for (std::size_t v = 0; v < kVariants.size(); ++v) {
            geno += kVariants[v].id;
            for (int i = 0; i < N1; ++i) geno += "\t" + num(value(static_cast<int>(v), i));
            geno += "\n";
        }
        for (const Gene& g : kGenes)
            for (int v : g.variants) map += std::string(g.id) + "\t" + kVariants[v].id + "\t" + num(kVariants[v].maf) + "\n";
        write("geno.txt", geno);
        write("mapping.txt", map);
        std::string w;
        for (const Gene& g : kGenes) {
            if (g.wt.empty()) continue;
            for (std::size_t j = 0; j < g.variants.size(); ++j) {
                w += std::string(g.id) + "\t" + kVariants[g.variants[j]].id;
                for (const auto& vec : g.wt) w += "\t" + num(vec[j]);
                w += "\n";
            }
        }
        write("wfile.txt", w);
    }
};

enum class Family { VT, VC, Customized };

std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

// Expected block and log record of one analysis of gene g, the subjects
// given in their order (the first n2 with the trait; n2 = 0 for the primary
// trait).
struct Expected {
    std::string block, record;
};

Expected analyse(Family test, const Gene& g, const std::vector<int>& order, int n2, const std::vector<double>& trait) {
    const int nsnp = static_cast<int>(g.variants.size());
    const int K = test == Family::VT ? static_cast<int>(g.thresh.size())
                  : test == Family::VC ? nsnp
                                     : static_cast<int>(g.wt.size());
    // Pooled records: the subjects in order, then the distinct non-sequenced values with counts.
    std::vector<double> y10;
    std::vector<int> c10;
    for (int i : order) {
        y10.push_back(kY[i]);
        c10.push_back(1);
    }
    std::map<double, int> counts;
    for (double v : kNonseq) ++counts[v];
    for (const auto& [v, c] : counts) {
        y10.push_back(v);
        c10.push_back(c);
    }
    const int n10 = static_cast<int>(y10.size());
    const int n = N1 + static_cast<int>(kNonseq.size());

    double** x = dmatrix(0, N1 - 1, 0, nsnp - 1);
    double** z1 = dmatrix(0, N1 - 1, 0, 1);
    for (int r = 0; r < N1; ++r) {
        for (int j = 0; j < nsnp; ++j) x[r][j] = value(g.variants[j], order[r]);
        z1[r][0] = 1.0;
        z1[r][1] = kSex[order[r]];
    }
    std::vector<double> maf, q, thresh = g.thresh, w(K, 1.0);
    for (int v : g.variants) {
        double mac = 0, calls = 0;
        for (int i = 0; i < N1; ++i)
            if (value(v, i) != NA) {
                mac += value(v, i);
                calls += 1;
            }
        maf.push_back(kVariants[v].maf);
        q.push_back(1.0 - mac / (2 * calls));
    }
    if (test == Family::VC)
        for (int k = 0; k < K; ++k) w[k] = std::pow(25 * std::pow(1 - maf[k], 24), 2);  // Beta(1, 25) density, squared
    double** wt = dmatrix(0, K - 1, 0, nsnp - 1);
    if (test == Family::Customized)
        for (int k = 0; k < K; ++k)
            for (int j = 0; j < nsnp; ++j) wt[k][j] = g.wt[k][j];

    std::vector<int> mac(K), mai(K);
    std::vector<double> U(K);
    double** cov = dmatrix(0, K - 1, 0, K - 1);
    int n_work = 0, ncov = 0;
    std::vector<double> y2(trait.begin(), trait.end());
    double** z2 = dmatrix(0, n2 > 0 ? n2 - 1 : 0, 0, 1);
    for (int r = 0; r < n2; ++r) {
        z2[r][0] = 1.0;
        z2[r][1] = kSex[order[r]];
    }
    {
        QuietStdout quiet;
        if (n2 == 0 && test == Family::VT)
            EM_prim_VTtest_fixThresh2(1, n, n10, N1, 2, nsnp, c10.data(), y10.data(), x, z1, K, thresh.data(),
                                      maf.data(), q.data(), 1, mac.data(), mai.data(), &n_work, U.data(), cov, &ncov);
        else if (n2 == 0 && test == Family::VC)
            EM_prim_SKAT(1, n, n10, N1, 2, nsnp, c10.data(), y10.data(), x, z1, q.data(), 1, mac.data(), mai.data(),
                         &n_work, U.data(), cov, &ncov);
        else if (n2 == 0)
            EM_prim_MULTI(n, n10, N1, 2, nsnp, c10.data(), y10.data(), x, z1, K, wt, q.data(), 1, mac.data(),
                          mai.data(), &n_work, U.data(), cov, &ncov);
        else if (test == Family::VT)
            EM_sec_VTtest_fixThresh2_v2(1, n, n10, N1, n2, 2, 2, nsnp, c10.data(), y10.data(), y2.data(), x, z1, z2,
                                        K, thresh.data(), maf.data(), q.data(), 1, mac.data(), mai.data(), &n_work,
                                        U.data(), cov, &ncov);
        else if (test == Family::VC)
            EM_sec_SKAT2_v2(1, n, n10, N1, n2, 2, 2, nsnp, c10.data(), y10.data(), y2.data(), x, z1, z2, K, q.data(),
                            1, mac.data(), mai.data(), &n_work, U.data(), cov, &ncov);
        else
            EM_sec_MULTI(n, n10, N1, n2, 2, 2, nsnp, c10.data(), y10.data(), y2.data(), x, z1, z2, K, wt, q.data(), 1,
                         mac.data(), mai.data(), &n_work, U.data(), cov, &ncov);
    }

    Expected e;
    for (int t = 0; t < K; ++t) {
        const Variant& var = kVariants[g.variants[t < nsnp ? t : 0]];
        if (test == Family::VT) {
            e.record += std::string(g.id) + "\t" + fmt("%E", thresh[t]) + "\t" + std::to_string(mai[t]);
        } else if (test == Family::VC) {
            int het = 0, alt = 0, calls = 0;
            for (int i = 0; i < N1; ++i) {
                const double v = value(g.variants[t], i);
                if (v == NA) continue;
                ++calls;
                het += v == 1.0;
                alt += v == 2.0;
            }
            e.record += std::string(g.id) + "\t" + var.id + "\t" + fmt("%E", maf[t]) + "\t" + std::to_string(mai[t]) +
                        "\t" + std::to_string(calls) + "\t" + std::to_string(calls - het - alt) + "\t" +
                        std::to_string(het) + "\t" + std::to_string(alt);
        } else {
            e.record += std::string(g.id) + "\t" + std::to_string(t) + "\t" + std::to_string(mac[t]);
        }
        e.record += "\t" + fmt("%.9E", U[t]);
        for (int u = 0; u < K; ++u) e.record += u <= t ? "\t" + fmt("%.9E", cov[t][u]) : std::string("\t0");
        e.record += "\n";
    }
    if (n_work < 1) {
        e.block = "\tNA\tNA\tVar_Null";
    } else {
        double T = 0, p = 0;
        int inform = 0;
        const int method = test == Family::VC ? 2 : 1;
        DRENNIK_metaPval_v2(method, K, U.data(), cov, w.data(), &T, &p, &inform);
        EXPECT_EQ(inform, 0);
        e.block = "\t" + fmt("%.9E", method == 1 ? T * T : T) + "\t" + fmt("%.4E", p) + "\t.";
    }
    free_dmatrix(cov, 0, K - 1, 0, K - 1);
    free_dmatrix(z2, 0, n2 > 0 ? n2 - 1 : 0, 0, 1);
    free_dmatrix(wt, 0, K - 1, 0, nsnp - 1);
    free_dmatrix(z1, 0, N1 - 1, 0, 1);
    free_dmatrix(x, 0, N1 - 1, 0, nsnp - 1);
    return e;
}

const char* testArgs(Family t) {
    return t == Family::VT ? "-test VT" : t == Family::VC ? "-test VC" : "-test customized -wfile wfile.txt";
}

class MultiScoreMleRun : public ::testing::TestWithParam<Family> {};

TEST_P(MultiScoreMleRun, PrimaryTraitRowsAndRecordsMatchTheEngine) {
    const Family test = GetParam();
    StudyFolder run;
    run.write("pheno_seq.txt", tableText({"y", "sex"}, {kY, kSex}));
    ASSERT_EQ(run.run(testArgs(test)), 0) << run.read("console.txt");
    std::vector<int> all(N1);
    for (int i = 0; i < N1; ++i) all[i] = i;
    std::string table = "\t------\ty_MLE\t------\nID\tStatistic\tP-value\tWarn\n";
    std::string log = "#Samples = 10\n";
    for (const Gene& g : kGenes) {
        if (test == Family::Customized && g.wt.empty()) continue;
        const Expected e = analyse(test, g, all, 0, {});
        table += std::string(g.id) + e.block + "\n";
        log += e.record;
    }
    EXPECT_EQ(run.read("output.txt"), table);
    EXPECT_EQ(run.read("log_y_MLE"), log);
}

TEST_P(MultiScoreMleRun, SecondaryTraitsPutTheirSubjectsFirstAndWriteOneBlockEach) {
    const Family test = GetParam();
    StudyFolder run;
    ASSERT_EQ(run.run(std::string("-nsec 2 ") + testArgs(test)), 0) << run.read("console.txt");
    std::string table = "\t------\ts1_MLE\t------\t------\ts2_MLE\t------\nID\tStatistic\tP-value\tWarn\tStatistic\tP-value\tWarn\n";
    std::string logs[2] = {"#Samples = 10\n", "#Samples = 10\n"};
    const std::vector<double>* traits[2] = {&kS1, &kS2};
    for (const Gene& g : kGenes) {
        if (test == Family::Customized && g.wt.empty()) continue;
        table += g.id;
        for (int t = 0; t < 2; ++t) {
            std::vector<int> order;
            std::vector<double> y2;
            for (int i = 0; i < N1; ++i)
                if ((*traits[t])[i] != NA) {
                    order.push_back(i);
                    y2.push_back((*traits[t])[i]);
                }
            const int n2 = static_cast<int>(order.size());
            for (int i = 0; i < N1; ++i)
                if ((*traits[t])[i] == NA) order.push_back(i);
            const Expected e = analyse(test, g, order, n2, y2);
            table += e.block;
            logs[t] += e.record;
        }
        table += "\n";
    }
    EXPECT_EQ(run.read("output.txt"), table);
    EXPECT_EQ(run.read("log_s1_MLE"), logs[0]);
    EXPECT_EQ(run.read("log_s2_MLE"), logs[1]);
}

INSTANTIATE_TEST_SUITE_P(Tests, MultiScoreMleRun, ::testing::Values(Family::VT, Family::VC, Family::Customized),
                         [](const auto& info) {
                             return info.param == Family::VT ? "VT" : info.param == Family::VC ? "VC" : "Customized";
                         });

}  // namespace
