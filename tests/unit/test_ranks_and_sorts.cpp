#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/data_preparation.h"

namespace {

// Reference ranks by counting, independent of any sort: the 0-based rank of
// v[i] is the number of smaller values plus the number of equal values
// before it.
std::vector<int> counted_ranks(const std::vector<double>& v) {
    std::vector<int> r(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        int c = 0;
        for (std::size_t j = 0; j < v.size(); ++j)
            if (v[j] < v[i] || (v[j] == v[i] && j < i)) ++c;
        r[i] = c;
    }
    return r;
}

}  // namespace

// ------------------------------------------------------------- ranks

TEST(BubbleRank, TiesTakeIndexOrderAndInputStays) {
    double a[] = {0.3, 0.1, 0.3};
    double r[3];
    bubbleRank_noTie(3, a, r);
    EXPECT_EQ(r[0], 2.0);
    EXPECT_EQ(r[1], 1.0);
    EXPECT_EQ(r[2], 3.0);
    EXPECT_EQ(a[0], 0.3);
    EXPECT_EQ(a[1], 0.1);

    double one[] = {4.0};
    double r1[1];
    bubbleRank_noTie(1, one, r1);
    EXPECT_EQ(r1[0], 1.0);

    // -0.0 and 0.0 are equal values: index order.
    double zeros[] = {0.0, -0.0, -1.0};
    double rz[3];
    bubbleRank_noTie(3, zeros, rz);
    EXPECT_EQ(rz[0], 2.0);
    EXPECT_EQ(rz[1], 3.0);
    EXPECT_EQ(rz[2], 1.0);
}

TEST(QRank, TiesTakeIndexOrderZeroBased) {
    double a[] = {5, 5, 1};
    qRank_noTie(3, a);
    EXPECT_EQ(a[0], 1.0);
    EXPECT_EQ(a[1], 2.0);
    EXPECT_EQ(a[2], 0.0);
}

TEST(Ranks, ManyTiesAgreeWithCounting) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> level(0, 9);
    std::vector<double> v(3000);
    for (double& x : v) x = 0.25 * level(gen) - 1.0;
    const std::vector<int> expected = counted_ranks(v);

    std::vector<double> rank(v.size());
    bubbleRank_noTie(static_cast<int>(v.size()), v.data(), rank.data());
    std::vector<double> q = v;
    qRank_noTie(static_cast<long>(q.size()), q.data());
    for (std::size_t i = 0; i < v.size(); ++i) {
        ASSERT_EQ(rank[i], expected[i] + 1.0) << i;
        ASSERT_EQ(q[i], static_cast<double>(expected[i])) << i;
    }
}

TEST(Cmp, ComparesThePointedAtValues) {
    double x = 1.0, y = 2.0, z = 1.0;
    double* px = &x;
    double* py = &y;
    double* pz = &z;
    EXPECT_EQ(cmp(&py, &px), 1);
    EXPECT_EQ(cmp(&px, &py), -1);
    EXPECT_EQ(cmp(&px, &pz), 0);
    double nan = std::nan("");
    double* pn = &nan;
    EXPECT_EQ(cmp(&pn, &px), -1);
    EXPECT_EQ(cmp(&px, &pn), -1);
}

// ---------------------------------------------------- distinct values

TEST(UniqueVector, AscendingValuesAndEachElementsIndex) {
    double v[] = {3, 1, 3, 2};
    double u[4];
    int idx[4];
    int n_unique = -1;
    unique_vector(4, v, u, &n_unique, idx);
    ASSERT_EQ(n_unique, 3);
    EXPECT_EQ(u[0], 1.0);
    EXPECT_EQ(u[1], 2.0);
    EXPECT_EQ(u[2], 3.0);
    const int expected[] = {2, 0, 2, 1};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(idx[i], expected[i]) << i;

    double one[] = {-2.5};
    unique_vector(1, one, u, &n_unique, idx);
    EXPECT_EQ(n_unique, 1);
    EXPECT_EQ(u[0], -2.5);
    EXPECT_EQ(idx[0], 0);
}

TEST(UniqueVector, LargeInputAgreesWithASet) {
    const int n = 200000;
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> draw(0, 4999);
    std::vector<double> v(n);
    for (double& x : v) x = draw(gen) / 8.0;
    const std::set<double> distinct(v.begin(), v.end());
    const std::vector<double> reference(distinct.begin(), distinct.end());

    std::vector<double> u(n);
    std::vector<int> idx(n);
    int n_unique = 0;
    unique_vector(n, v.data(), u.data(), &n_unique, idx.data());

    ASSERT_EQ(n_unique, static_cast<int>(reference.size()));
    for (int k = 0; k < n_unique; ++k) ASSERT_EQ(u[k], reference[k]) << k;
    for (int i = 0; i < n; ++i) ASSERT_EQ(u[idx[i]], v[i]) << i;
}

// ---------------------------------------------------- mapping sorts

TEST(MappingSort, GenesInByteOrderRowsOfAGeneInFileOrder) {
    char b[] = "B", a[] = "A", ten[] = "10", nine[] = "9";
    char v1[] = "v1", v2[] = "v2", v3[] = "v3", v4[] = "v4", v5[] = "v5", v6[] = "v6";
    char* gene[] = {b, a, nine, b, a, ten};
    char* variant[] = {v1, v2, v3, v4, v5, v6};
    double freq[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    int flag[] = {1, 2, 3, 4, 5, 6};
    StringSort_map3(6, gene, variant, freq, flag);

    // Byte order: "10" < "9" < "A" < "B".
    const char* genes[] = {"10", "9", "A", "A", "B", "B"};
    const char* variants[] = {"v6", "v3", "v2", "v5", "v1", "v4"};
    const double freqs[] = {0.6, 0.3, 0.2, 0.5, 0.1, 0.4};
    const int flags[] = {6, 3, 2, 5, 1, 4};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(gene[i], genes[i]) << i;
        EXPECT_STREQ(variant[i], variants[i]) << i;
        EXPECT_EQ(freq[i], freqs[i]) << i;
        EXPECT_EQ(flag[i], flags[i]) << i;
    }
    // Texts are moved by pointer, never copied.
    EXPECT_EQ(variant[0], v6);
    EXPECT_EQ(gene[5], b);
}

TEST(MappingSort, TwoAndThreeColumnVariantsAndEmptyInput) {
    char b[] = "B", a[] = "A", lower[] = "a";
    char v1[] = "v1", v2[] = "v2", v3[] = "v3", v4[] = "v4";
    char* gene[] = {b, lower, b, a};
    char* variant[] = {v1, v2, v3, v4};
    double freq[] = {1, 2, 3, 4};
    StringSort_map2(4, gene, variant, freq);
    // Upper case sorts before lower case in byte order.
    EXPECT_STREQ(gene[0], "A");
    EXPECT_STREQ(gene[1], "B");
    EXPECT_STREQ(gene[2], "B");
    EXPECT_STREQ(gene[3], "a");
    EXPECT_EQ(freq[0], 4.0);
    EXPECT_EQ(freq[1], 1.0);
    EXPECT_EQ(freq[2], 3.0);
    EXPECT_EQ(freq[3], 2.0);

    char* gene2[] = {b, a, b, a};
    char* variant2[] = {v1, v2, v3, v4};
    StringSort_map(4, gene2, variant2);
    EXPECT_STREQ(variant2[0], "v2");
    EXPECT_STREQ(variant2[1], "v4");
    EXPECT_STREQ(variant2[2], "v1");
    EXPECT_STREQ(variant2[3], "v3");

    StringSort_map(0, gene2, variant2);
    StringSort_map(-3, gene2, variant2);
    EXPECT_STREQ(variant2[0], "v2");
}

TEST(MappingSort, TwoHundredThousandRowsSortStably) {
    const int n = 200000;
    std::mt19937 gen(3);
    std::uniform_int_distribution<int> gene_of(0, 19999);
    std::vector<std::string> gene_text(n), variant_text(n);
    for (int i = 0; i < n; ++i) {
        gene_text[i] = "GENE" + std::to_string(gene_of(gen));
        variant_text[i] = "rs" + std::to_string(i);
    }
    std::vector<char*> gene(n), variant(n);
    std::vector<double> freq(n);
    std::vector<int> row(n);
    for (int i = 0; i < n; ++i) {
        gene[i] = gene_text[i].data();
        variant[i] = variant_text[i].data();
        freq[i] = i * 0.5;
        row[i] = i;
    }

    StringSort_map3(n, gene.data(), variant.data(), freq.data(), row.data());  // timed by bench/mapping_sort

    for (int i = 0; i < n; ++i) {
        const int r = row[i];
        ASSERT_EQ(gene[i], gene_text[r].data()) << i;  // columns moved together
        ASSERT_EQ(variant[i], variant_text[r].data()) << i;
        ASSERT_EQ(freq[i], r * 0.5) << i;
        if (i > 0) {
            const int c = std::strcmp(gene[i - 1], gene[i]);
            ASSERT_LE(c, 0) << i;
            if (c == 0) {
                ASSERT_LT(row[i - 1], r) << i;  // file order within a gene
            }
        }
    }
}
