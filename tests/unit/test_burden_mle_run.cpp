// Whole runs of the MLE single-burden analyses (direct mode on the primary
// trait, T5 on secondary traits), their result rows and log records compared
// with the unit-tested engine routines called here on arrays that the test
// builds itself: the pooled records, the kept subjects, the subject order of
// each secondary trait and the burden.  The p-value is checked through the
// closed form of the chi-squared upper tail with one degree of freedom,
// erfc(|T| / sqrt(2)).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/single_burden_mle.h"
#include "engine/tds_em.h"
#include "numerics/offset_arrays.h"
#include "run_folder.h"

namespace {

constexpr double NA = -999.0;

// Eight sequenced subjects: primary trait, two secondary traits, sex (a
// two-valued covariate, which the run leaves as it is).
const std::vector<double> kY = {1.2, 0.7, 2.3, 1.9, 0.4, 1.1, 2.8, 1.5};
const std::vector<double> kS1 = {3.1, NA, 2.9, 3.8, NA, 2.9, 4.1, 3.3};
const std::vector<double> kS2 = {5.5, 6.1, 4.9, 5.8, 6.6, 5.2, 4.4, 6.0};
const std::vector<double> kSex = {0, 1, 1, 0, 0, 1, 0, 1};
const std::vector<double> kNonseq = {0.3, 2.5, 1.0, 0.3, 3.1, 1.7, 2.5, 0.9, 2.0, 1.4};

// The phenotype files of the study: with secondary traits the sequenced
// file holds y, s1, s2 and sex; without, y and sex.
class StudyFolder : public RunFolder {
public:
    explicit StudyFolder(bool secondary) {
        write("pheno_seq.txt", secondary ? tableText({"y", "s1", "s2", "sex"}, {kY, kS1, kS2, kSex})
                                         : tableText({"y", "sex"}, {kY, kSex}));
        write("pheno_nonseq.txt", tableText({}, {kNonseq}));
    }
};

// The non-sequenced values as distinct ascending values with counts.
void pooledRecords(const std::vector<double>& seq, std::vector<double>& y10, std::vector<int>& c10) {
    std::map<double, int> counts;
    for (double v : kNonseq) ++counts[v];
    y10 = seq;
    c10.assign(seq.size(), 1);
    for (const auto& [v, c] : counts) {
        y10.push_back(v);
        c10.push_back(c);
    }
}

double** designOf(const std::vector<int>& subjects) {
    double** z = dmatrix(0, static_cast<long>(subjects.size()) - 1, 0, 1);
    for (std::size_t r = 0; r < subjects.size(); ++r) {
        z[r][0] = 1.0;
        z[r][1] = kSex[static_cast<std::size_t>(subjects[r])];
    }
    return z;
}

struct Expected {
    std::string block;  // result-table cells after the gene identifier
    std::string log;    // log record after "gene\tMAI"
};

Expected formatBlock(double U, double V, double T, int ncov, double beta_est, double beta_se, std::string& warn) {
    if (ncov == 2000) warn += "Non-convergence,";
    char buf[512];
    Expected e;
    if (std::isfinite(T)) {
        const double p = std::erfc(std::fabs(T) / std::sqrt(2.0));
        std::snprintf(buf, sizeof buf, "\t%.9E\t%.4E\t%.4E\t%.4E\t%s", U * U / V, p, beta_est, beta_se, warn.c_str());
        e.block = buf;
        std::snprintf(buf, sizeof buf, "\t%.9E\t%.9E\n", U, V);
        e.log = buf;
    } else {
        warn += "Undefined_V,";
        std::snprintf(buf, sizeof buf, "\tNA\tNA\t%.4E\t%.4E\t%s", beta_est, beta_se, warn.c_str());
        e.block = buf;
        e.log = "\t0\t0\n";
    }
    return e;
}

// Primary trait, burden x of the given subjects (in subject order).
Expected primaryExpected(const std::vector<int>& kept, const std::vector<double>& x) {
    std::vector<double> seq, y10;
    std::vector<int> c10;
    for (int i : kept) seq.push_back(kY[static_cast<std::size_t>(i)]);
    pooledRecords(seq, y10, c10);
    const int n1p = static_cast<int>(kept.size());
    const int n10 = static_cast<int>(y10.size());
    const int n = n1p + static_cast<int>(kNonseq.size());
    double** z1 = designOf(kept);
    std::vector<double> g = x;
    double* est = dvector(0, 3);
    double** cov = dmatrix(0, 3, 0, 3);
    int ncov = 0;
    {
        QuietStdout quiet;
        EM_quan2_time(n, n10, n1p, 2, c10.data(), y10.data(), g.data(), z1, est, cov, &ncov);
    }
    const double beta_est = est[0];
    const double beta_se = std::sqrt(cov[0][0]);
    double U = 0, V = 0, T = 0;
    {
        QuietStdout quiet;
        scoreTest_MLE_Prim(n, n10, n1p, 2, c10.data(), y10.data(), g.data(), z1, &U, &V, &T, &ncov);
    }
    free_dvector(est, 0, 3);
    free_dmatrix(cov, 0, 3, 0, 3);
    free_dmatrix(z1, 0, n1p - 1, 0, 1);
    std::string warn = ".";
    return formatBlock(U, V, T, ncov, beta_est, beta_se, warn);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream is(text);
    for (std::string l; std::getline(is, l);) out.push_back(l);
    return out;
}

TEST(BurdenMleRun, DirectModeRowsMatchTheEngineOnTheKeptSubjectsAndTheirRecords) {
    StudyFolder run(false);
    // d2 misses two subjects (NA and -999); d3 keeps three subjects only, as
    // many as the full model has coefficients, so its fit cannot settle.
    run.write("geno.txt",
              "d1\t0\t1\t2\t0\t1\t0\t0\t1\n"
              "d2\tNA\t1\t0\t-999\t2\t0\t1\t0\n"
              "d3\tNA\tNA\tNA\tNA\tNA\t0\t1\t2\n");
    ASSERT_EQ(run.run(""), 0) << run.read("console.txt");

    struct Row {
        const char* id;
        std::vector<int> kept;
        std::vector<double> x;
    };
    const std::vector<Row> rows = {{"d1", {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 0, 1, 0, 0, 1}},
                                   {"d2", {1, 2, 4, 5, 6, 7}, {1, 0, 2, 0, 1, 0}},
                                   {"d3", {5, 6, 7}, {0, 1, 2}}};
    std::string table = "\t------\t------\ty_MLE\t------\t------\nID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n";
    std::string log = "#Samples = 8\n";
    for (const Row& r : rows) {
        const Expected e = primaryExpected(r.kept, r.x);
        int mai = 0;
        for (double v : r.x) mai += v >= 1.0 ? 1 : 0;
        table += std::string(r.id) + e.block + "\n";
        log += std::string(r.id) + "\t" + std::to_string(mai) + e.log;
    }
    EXPECT_EQ(run.read("output.txt"), table);
    EXPECT_EQ(run.read("log_y_MLE"), log);

    EXPECT_NE(run.read("console.txt").find("\n||---- GENE d3 ----||\n"), std::string::npos);
}

TEST(BurdenMleRun, PrimaryT1AndMbBurdensMatchTheEngine) {
    StudyFolder run(false);
    run.write("geno.txt",
              "v1\t0\t1\t0\tNA\t0\t0\t2\t0\n"
              "v2\t1\t0\t0\t0\t0\t1\t0\t0\n");
    run.write("mapping.txt", "G\tv2\t0.03\nG\tv1\t0.004\n");
    const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7};
    const double g1[8] = {0, 1, 0, NA, 0, 0, 2, 0};
    const double g2[8] = {1, 0, 0, 0, 0, 1, 0, 0};
    const double q1 = 1.0 - 3.0 / 14.0;  // v1: 3 minor alleles over 7 calls

    // T1: v1 alone (frequency 0.004); its missing genotype imputed as 2 (1 - q).
    ASSERT_EQ(run.run("-test T1 -ofile t1.txt -msglog t1"), 0) << run.read("console.txt");
    std::vector<double> x(8);
    for (int i = 0; i < 8; ++i) x[i] = 0.0 + 1.0 * (g1[i] == NA ? 2 * (1 - q1) : g1[i]) + 0.0 * g2[i];
    Expected e = primaryExpected(all, x);
    EXPECT_EQ(run.read("t1.txt").substr(run.read("t1.txt").find("\nG\t") + 1), "G" + e.block + "\n");
    EXPECT_EQ(run.read("t1_y_MLE"), "#Samples = 8\nG\t2" + e.log);

    // MB: weights 1 / sqrt(r (1 - r)) with r the mapping frequency.
    ASSERT_EQ(run.run("-test MB -ofile mb.txt -msglog mb"), 0) << run.read("console.txt");
    const double w1 = 1 / std::sqrt(0.004 * (1 - 0.004));
    const double w2 = 1 / std::sqrt(0.03 * (1 - 0.03));
    for (int i = 0; i < 8; ++i) x[i] = 0.0 + w1 * (g1[i] == NA ? 2 * (1 - q1) : g1[i]) + w2 * g2[i];
    e = primaryExpected(all, x);
    EXPECT_EQ(run.read("mb.txt").substr(run.read("mb.txt").find("\nG\t") + 1), "G" + e.block + "\n");
    EXPECT_EQ(run.read("mb_y_MLE"), "#Samples = 8\nG\t4" + e.log);
}

TEST(BurdenMleRun, AFullFitThatCannotSettleMarksTheSecondaryBlockNonConvergence) {
    StudyFolder run(true);
    // Eight sequenced subjects around 0 and non-sequenced values around 8:
    // the primary fit on (burden, intercept, age) is well defined, but its EM
    // creeps and reaches the iteration cap.
    run.write("pheno_seq.txt",
              "y\ts\tage\n0.840\t-0.551\t26\n0.697\t-1.536\t30\n-3.628\t0.478\t41\n-0.331\t0.416\t56\n"
              "-6.211\t0.171\t40\n0.389\t1.911\t21\n0.264\t0.443\t43\n0.488\t0.223\t55\n");
    run.write("pheno_nonseq.txt",
              "6.726\n7.937\n6.871\n8.730\n5.326\n11.416\n9.014\n7.628\n6.272\n7.652\n8.235\n9.275\n8.009\n");
    run.write("geno.txt", "rs1\t2\t0\t2\t0\t0\t0\t0\t2\n");
    ASSERT_EQ(run.run("-nsec 1"), 0) << run.read("console.txt");
    const std::vector<std::string> out = lines(run.read("output.txt"));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_NE(out[2].find("\t.Non-convergence,"), std::string::npos) << out[2];
    EXPECT_EQ(out[2].find("NA"), std::string::npos) << out[2];  // the block still carries its numbers
    EXPECT_NE(run.read("console.txt").find("\nEM_quan Warning: EM iteration NOT converge!"), std::string::npos);
}

// Three subjects with a call and four coefficients in the primary fit on
// (burden, intercept, age, sex): the design cannot be fitted, so the block
// reads NA with Singular_covariates and no fit runs (no EM warning).
TEST(BurdenMleRun, AFullFitWithMoreCoefficientsThanSubjectsReadsNA) {
    StudyFolder run(true);
    run.write("pheno_seq.txt", "y\ts\tage\tsex\n1.25\t3\t40\t0\n-0.5\t4\t55\tNA\n2.0\t5\tNA\t1\n0.75\t6\t61\t1\n");
    run.write("pheno_nonseq.txt", "0.1\n0.2\n0.2\n0.3\n0.4\n0.5\n");
    run.write("geno.txt", "rs1\t0\t1\tNA\t2\n");
    ASSERT_EQ(run.run("-nsec 1"), 0) << run.read("console.txt");
    const std::vector<std::string> out = lines(run.read("output.txt"));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], "rs1\tNA\tNA\tNA\tNA\t.Singular_covariates,");
    EXPECT_EQ(run.read("console.txt").find("NOT converge"), std::string::npos);
}

TEST(BurdenMleRun, SecondaryTraitsUseTheSubjectsWithTheTraitFirstAndOneBurdenForBothArguments) {
    StudyFolder run(true);
    run.write("geno.txt",
              "v1\t0\t1\t0\t0\t1\t0\t0\t1\n"
              "v2\t1\tNA\t0\t0\t0\t1\t0\t0\n"
              "v3\t0\t0\t0\t1\t0\t0\t0\t0\n");
    // v3 has a mapping frequency above 0.05: selected, but not in the T5 burden.
    run.write("mapping.txt", "G\tv2\t0.02\nG\tv1\t0.01\nG\tv3\t0.06\n");
    ASSERT_EQ(run.run("-nsec 2 -test T5 -MAF 0.1"), 0) << run.read("console.txt");

    // Burden: v1 + v2 in file order, the missing v2 genotype imputed as
    // 2 (1 - q) with q = 1 - its genotype-file frequency 2 / 14.
    const double q2 = 1.0 - 2.0 / 14.0;
    const double x1 = 0.0 + 1.0 * 1.0 + 1.0 * (2 * (1 - q2)) + 0.0 * 0.0;
    const std::vector<double> x = {1, x1, 0, 0, 1, 1, 0, 1};
    std::vector<int> mac(8);
    for (int i = 0; i < 8; ++i) mac[i] = x[i] > 0.5 ? 1 : 0;
    mac[1] = 1;  // the imputed value adds no allele

    std::string row = "G";
    std::string warn = ".";
    std::string logs[2];
    const std::vector<double>* traits[2] = {&kS1, &kS2};
    for (int t = 0; t < 2; ++t) {
        const std::vector<double>& s = *traits[t];
        std::vector<int> order;
        for (int i = 0; i < 8; ++i)
            if (s[i] != NA) order.push_back(i);
        const int n2 = static_cast<int>(order.size());
        for (int i = 0; i < 8; ++i)
            if (s[i] == NA) order.push_back(i);
        std::vector<double> seq, xs, y2, y10;
        std::vector<int> c10;
        for (int i : order) {
            seq.push_back(kY[i]);
            xs.push_back(x[i]);
        }
        for (int k = 0; k < n2; ++k) y2.push_back(s[order[k]]);
        pooledRecords(seq, y10, c10);
        int mai = 0;
        for (int k = 0; k < n2; ++k) mai += mac[order[k]] >= 1 ? 1 : 0;
        double** z1 = designOf(order);
        double** z2 = designOf(std::vector<int>(order.begin(), order.begin() + n2));
        double U = 0, V = 0, T = 0, be = 0, bse = 0;
        int ncov = 0;
        {
            QuietStdout quiet;
            MLE_Sec_v2(8 + 10, static_cast<int>(y10.size()), 8, n2, 2, 2, c10.data(), y10.data(), xs.data(), z1,
                       y2.data(), xs.data(), z2, &U, &V, &T, &ncov, &be, &bse);
        }
        free_dmatrix(z1, 0, 7, 0, 1);
        free_dmatrix(z2, 0, n2 - 1, 0, 1);
        const Expected e = formatBlock(U, V, T, ncov, be, bse, warn);
        row += e.block;
        logs[t] = "#Samples = 8\nG\t" + std::to_string(mai) + e.log;
    }
    EXPECT_EQ(run.read("output.txt"),
              "\t------\t------\ts1_MLE\t------\t------\t------\t------\ts2_MLE\t------\t------\n"
              "ID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n" +
                  row + "\n");
    EXPECT_EQ(run.read("log_s1_MLE"), logs[0]);
    EXPECT_EQ(run.read("log_s2_MLE"), logs[1]);
}

TEST(BurdenMleRun, AConstantBurdenAmongTheSubjectsWithATraitGivesThatTraitNaBlocksAndKeepsItsTokens) {
    StudyFolder run(true);
    // The only carriers (subjects 1 and 4) miss s1: constant burden for s1.
    run.write("geno.txt", "v1\t0\t1\t0\t0\t1\t0\t0\t0\n");
    run.write("mapping.txt", "G\tv1\t0.005\n");
    ASSERT_EQ(run.run("-nsec 2 -test T1"), 0) << run.read("console.txt");
    const std::vector<std::string> out = lines(run.read("output.txt"));
    ASSERT_EQ(out.size(), 3u);
    const std::string prefix = "G\tNA\tNA\tNA\tNA\t.Low_MAC,Singular_score,Singular_covariates,\t";
    ASSERT_EQ(out[2].substr(0, prefix.size()), prefix) << out[2];
    // s2 is still tested, and its cell carries the tokens of s1.
    EXPECT_NE(out[2].find("E"), std::string::npos);
    const std::string tail = ".Low_MAC,Singular_score,Singular_covariates,";
    EXPECT_EQ(out[2].substr(out[2].size() - tail.size()), tail) << out[2];
    EXPECT_EQ(run.read("log_s1_MLE"), "#Samples = 8\n");
    EXPECT_EQ(lines(run.read("log_s2_MLE")).size(), 2u);
}

}  // namespace
