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
    // NA, N/A (first character N), XA (second character A), -999, -999.5
    // (below -0.1) and NaN are missing.
    const double want[8] = {-999.0, -999.0, -999.0, -999.0, 0.5, -999.0, -999.0, 0.1};
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

// The weights of one gene from a weight file with the given bytes.
void weightsOf(const std::string& bytes, Gene& gene) {
    TempFile f(bytes);
    WeightTable table;
    readWeightFile(f.path(), table);
    readGeneWeights(table, gene.g);
}

TEST(ReadGeneWeights, TakesTheGenesRowsOfSelectedVariants) {
    const std::string file =
        "G1\ta\t9\t9\n"
        "G2\tgone\t5\t5\n"  // not selected: ignored, even as the gene's first row
        "G2\tb\t0.5\t2\n"
        "G2\ta\t1.5\t-1\n"
        "G3\ta\t7\t7\n";
    Gene gene("G2", {"a", "b", "c"});
    weightsOf(file, gene);
    ASSERT_EQ(gene.g.n_weight, 2);
    EXPECT_EQ(gene.w(0, 0), 1.5);
    EXPECT_EQ(gene.w(1, 0), -1.0);
    EXPECT_EQ(gene.w(0, 1), 0.5);
    EXPECT_EQ(gene.w(1, 1), 2.0);
    EXPECT_EQ(gene.w(0, 2), 0.0);  // c has no row: zero weights
    EXPECT_EQ(gene.w(1, 2), 0.0);
}

TEST(ReadGeneWeights, AGeneWithoutRowsOrWithoutSelectedVariantsHasNoWeights) {
    const std::string file = "G1\ta\t1\nG2\tzz\t1\n";
    Gene absent("G9", {"a"});
    weightsOf(file, absent);
    EXPECT_EQ(absent.g.n_weight, 0);
    Gene unselected("G2", {"a"});
    weightsOf(file, unselected);
    EXPECT_EQ(unselected.g.n_weight, 0);
    EXPECT_EQ(unselected.g.customized_wt, nullptr);
}

TEST(ReadGeneWeights, LineEndsByteOrderMarkAndTrailingBlankLinesChangeNothing) {
    for (const std::string& file :
         {std::string("G1\ta\t1\t2\r\nG1\tb\t3\t4"), std::string("\xEF\xBB\xBFG1\ta\t1\t2\nG1\tb\t3\t4\n\n\n"),
          std::string("G1\ta\t1\t2\r\nG1\tb\t3\t4\r\n")}) {
        Gene gene("G1", {"a", "b"});
        weightsOf(file, gene);
        ASSERT_EQ(gene.g.n_weight, 2);
        EXPECT_EQ(gene.w(0, 0), 1.0);
        EXPECT_EQ(gene.w(1, 0), 2.0);
        EXPECT_EQ(gene.w(0, 1), 3.0);
        EXPECT_EQ(gene.w(1, 1), 4.0);
    }
}

TEST(ReadGeneWeights, ManyWeightsInOneRowAreAllKeptAndGenesMayDifferInCount) {
    std::string row = "G1\ta";
    for (int t = 0; t < 150; ++t) row += "\t" + std::to_string(t);
    Gene gene("G1", {"a"});
    weightsOf("G0\ta\t1\n" + row + "\nG2\ta\t1\t2\n", gene);
    ASSERT_EQ(gene.g.n_weight, 150);
    EXPECT_EQ(gene.w(149, 0), 149.0);
}

// What reading a weight file with these bytes (or the file at `file`) prints.
std::string stopOutput(const std::string& text, int* status, const std::string& file = "") {
    TempFile f(text);
    const std::string path = file.empty() ? f.path() : file;
    std::string out = runCaptured(
        [&]() {
            WeightTable table;
            readWeightFile(path, table);
        },
        status);
    const std::size_t at = out.find(path);
    if (at != std::string::npos) out.replace(at, path.size(), "W");
    return out;
}

TEST(ReadWeightFile, BadFilesStopNamingTheFileAndLine) {
    const struct {
        std::string bytes;
        std::string message;
    } cases[] = {
        {"", "fail\nError: file 'W' has no rows.\n"},
        {"\n\n", "fail\nError: file 'W' has no rows.\n"},
        {"G1 a 1 2\n", "fail\nError: line 1 of file 'W' has 4 field(s) but 1 tab-separated column(s); fields must "
                       "be separated by single tabs.\n"},
        {"G1\ta\nG1\tb\n", "fail\nError: line 1 of file 'W' holds no weight; a row of the weight file is a gene, a "
                           "variant and its weights.\n"},
        {"G0\tx\t1\nG1\ta\t1\t2\nG1\tb\t1\n", "fail\nError: line 3 of file 'W': The number of weights can not be "
                                        "different between SNPs within one gene (gene 'G1' has 2 on line 2, 1 "
                                        "here).\n"},
        {"G1\ta\t1\nG1\tb\n", "fail\nError: line 2 of file 'W' holds no weight; a row of the weight file is a gene, a "
                              "variant and its weights.\n"},
        {"G1\ta\t1\n\nG2\tb\t1\n", "fail\nError: line 2 of file 'W' is blank; only the end of a file may hold blank "
                                   "lines.\n"},
        {"G1\ta\t1\t\n", "fail\nError: line 1 of file 'W' has 3 field(s) but 4 tab-separated column(s); fields must "
                         "be separated by single tabs.\n"},
        {"G1\ta\t1\tNA\n", "fail\nError: line 1 of file 'W', field 4 (weight 2): 'NA' is not a finite number.\n"},
        {"G1\ta\t1\nG2\tb\tinf\n", "fail\nError: line 2 of file 'W', field 3 (weight 1): 'inf' is not a finite "
                                    "number.\n"},
        {"G1\ta\t1\nG2\tb\t1\nG1\tc\t1\n", "fail\nError: line 3 of file 'W': gene 'G1' already has rows from line "
                                          "1; the rows of a gene must stand together.\n"},
    };
    for (const auto& c : cases) {
        int status = 0;
        EXPECT_EQ(stopOutput(c.bytes, &status), c.message + kStopLine) << c.bytes;
        EXPECT_EQ(status, 1);
    }
    int status = 0;
    EXPECT_EQ(stopOutput("", &status, "/nonexistent/w.txt"),
              std::string("fail\nError: Cannot open weight file 'W'.\n") + kStopLine);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(stopOutput("", &status, "/tmp"), std::string("fail\nError: Cannot read file 'W': Is a directory.\n") +
                                                   kStopLine);
    EXPECT_EQ(status, 1);
}

}  // namespace
