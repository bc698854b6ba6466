// The per-gene inputs: the identifier index and row reads of the genotype
// file, and the weight file of the customized test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/gene_data.h"
#include "driver/genotype_rows.h"
#include "driver/weight_file.h"
#include "numerics/offset_arrays.h"
#include "run_capture.h"

namespace {

// ---------------------------------------------------------------- genotype rows

TEST(GenotypeIndex, ListsEveryRowOfAnIdentifierInFileOrder) {
    const std::vector<std::string> ids = {"a", "b", "a", "c", "a", "b"};
    const GenotypeIndex index(ids);
    std::vector<int> rows_a;
    for (int r = index.first("a"); r >= 0; r = index.next(r)) rows_a.push_back(r);
    EXPECT_EQ(rows_a, (std::vector<int>{0, 2, 4}));
    std::vector<int> rows_b;
    for (int r = index.first("b"); r >= 0; r = index.next(r)) rows_b.push_back(r);
    EXPECT_EQ(rows_b, (std::vector<int>{1, 5}));
    EXPECT_EQ(index.first("c"), 3);
    EXPECT_EQ(index.next(3), -1);
    EXPECT_EQ(index.first("d"), -1);
    EXPECT_EQ(index.first("A"), -1);  // exact, case-sensitive comparison
}

TEST(GenotypeRowReader, ReadsTheRowAtItsOffsetWithTheStartUpMissingRule) {
    const std::string first = "x1\t0\t1\t2\n";
    TempFile f(first + "x2\tNA\tN/A\tXA\t-999\t0.5\t-999.5\tNaN\t1e-1\n");
    std::FILE* fp = std::fopen(f.path().c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    GenotypeRowReader reader(fp, f.path());
    std::string id;
    double v[8];
    reader.read(static_cast<long long>(first.size()), 8, &id, v);
    EXPECT_EQ(id, "x2");
    // NA, N/A (first character N), XA (second character A), -999 and NaN are
    // missing; -999.5 is a called value.
    const double want[8] = {-999.0, -999.0, -999.0, -999.0, 0.5, -999.5, -999.0, 0.1};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(v[i], want[i]) << i;

    // Into column 1 of a 3 by 2 row-major block: stride 2.
    double block[6] = {7, 7, 7, 7, 7, 7};
    reader.read(0, 3, &id, &block[1], 2);
    EXPECT_EQ(id, "x1");
    EXPECT_EQ(block[1], 0.0);
    EXPECT_EQ(block[3], 1.0);
    EXPECT_EQ(block[5], 2.0);
    EXPECT_EQ(block[0], 7.0);
    EXPECT_EQ(block[4], 7.0);
    std::fclose(fp);
}

TEST(GenotypeRowReader, AShortRowStopsTheRunWithAMessage) {
    TempFile f("x1\t0\t1\n");
    int status = 0;
    const std::string out = runCaptured(
        [&f]() {
            std::FILE* fp = std::fopen(f.path().c_str(), "rb");
            GenotypeRowReader reader(fp, f.path());
            std::string id;
            double v[3];
            reader.read(0, 3, &id, v);
        },
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: genotype file '" + f.path() + "' changed while the analysis was running.\n" +
                       kStopLine);
}

// ---------------------------------------------------------------- weight file

TEST(SkipLine, StopsAfterTheLineBreakOrAtTheEnd) {
    TempFile f("abc\tdef\nxyz");
    std::FILE* fp = std::fopen(f.path().c_str(), "r");
    EXPECT_EQ(skipLine(fp), 0);
    EXPECT_EQ(std::fgetc(fp), 'x');
    EXPECT_EQ(skipLine(fp), 1);
    EXPECT_EQ(std::fgetc(fp), EOF);
    std::fclose(fp);
}

// A gene with the given selected variants.
struct Gene {
    GeneData g;
    explicit Gene(const std::string& id, const std::vector<std::string>& snps) {
        g.geneID = id;
        g.N_SNP = static_cast<int>(snps.size());
        g.snpID = snps;
    }
    ~Gene() {
        if (g.customized_wt != nullptr) free_dmatrix(g.customized_wt, 0, g.n_weight - 1, 0, g.N_SNP - 1);
    }
    double w(int t, int j) const { return g.customized_wt[t][j]; }
};

TEST(ReadGeneWeights, TakesTheGenesBlockAndFixesTheCountByItsFirstSelectedVariant) {
    TempFile f(
        "G1\ta\t9\t9\n"
        "G2\tgone\t5\n"  // not selected: ignored, even as the gene's first row
        "G2\tb\t0.5\t2\n"
        "G2\ta\t1.5\t-1\n"
        "G3\ta\t7\t7\n"
        "G2\tc\t8\t8\n");  // a second block of G2 further down is not read
    Gene gene("G2", {"a", "b", "c"});
    readGeneWeights(f.path(), gene.g);
    ASSERT_EQ(gene.g.n_weight, 2);
    EXPECT_EQ(gene.w(0, 0), 1.5);
    EXPECT_EQ(gene.w(1, 0), -1.0);
    EXPECT_EQ(gene.w(0, 1), 0.5);
    EXPECT_EQ(gene.w(1, 1), 2.0);
    EXPECT_EQ(gene.w(0, 2), 0.0);  // c has no row in the block: zero weights
    EXPECT_EQ(gene.w(1, 2), 0.0);
}

TEST(ReadGeneWeights, AGeneWithoutRowsOrWithoutSelectedVariantsHasNoWeights) {
    TempFile f("G1\ta\t1\nG2\tzz\t1\n");
    Gene absent("G9", {"a"});
    readGeneWeights(f.path(), absent.g);
    EXPECT_EQ(absent.g.n_weight, 0);
    Gene unselected("G2", {"a"});
    readGeneWeights(f.path(), unselected.g);
    EXPECT_EQ(unselected.g.n_weight, 0);
    EXPECT_EQ(unselected.g.customized_wt, nullptr);
}

TEST(ReadGeneWeights, LastRowWithoutLineBreakAndWindowsLineEnds) {
    TempFile f("G1\ta\t1\t2\r\nG1\tb\t3\t4");
    Gene gene("G1", {"a", "b"});
    readGeneWeights(f.path(), gene.g);
    ASSERT_EQ(gene.g.n_weight, 2);
    EXPECT_EQ(gene.w(0, 0), 1.0);
    EXPECT_EQ(gene.w(1, 1), 4.0);
}

TEST(ReadGeneWeights, ManyWeightsInOneRowAreAllKept) {
    std::string row = "G1\ta";
    for (int t = 0; t < 150; ++t) row += "\t" + std::to_string(t);
    TempFile f(row + "\n");
    Gene gene("G1", {"a"});
    readGeneWeights(f.path(), gene.g);
    ASSERT_EQ(gene.g.n_weight, 150);
    EXPECT_EQ(gene.w(149, 0), 149.0);
}

std::string stopOutput(const std::string& text, const std::vector<std::string>& snps, int* status,
                       const std::string& file = "") {
    TempFile f(text);
    const std::string path = file.empty() ? f.path() : file;
    return runCaptured(
        [&]() {
            Gene gene("G1", snps);
            readGeneWeights(path, gene.g);
        },
        status);
}

TEST(ReadGeneWeights, BadFilesStopTheRun) {
    int status = 0;
    EXPECT_EQ(stopOutput("", {"a"}, &status, "/nonexistent/w.txt"),
              std::string("fail\nError: Cannot open weight file '/nonexistent/w.txt'.\n") + kStopLine);
    EXPECT_EQ(status, 1);

    // A first matching row without weights: the stop line alone.
    EXPECT_EQ(stopOutput("G1\ta\nG1\tb\t1\n", {"a", "b"}, &status), kStopLine);
    EXPECT_EQ(status, 1);

    const std::string differ =
        std::string("fail\nError: The number of weights can not be different between SNPs within one gene.\n") +
        kStopLine;
    EXPECT_EQ(stopOutput("G1\ta\t1\t2\nG1\tb\t1\t2\t3\n", {"a", "b"}, &status), differ);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(stopOutput("G1\ta\t1\t2\nG1\tb\t1\n", {"a", "b"}, &status), differ);
    EXPECT_EQ(status, 1);

    const std::string out = stopOutput("G1\ta\t1\tNA\n", {"a"}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("the weights of variant 'a' in gene 'G1' hold 'NA', which is not a number."),
              std::string::npos)
        << out;
}

}  // namespace
