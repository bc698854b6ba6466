#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "numerics/offset_arrays.h"

namespace {

// The address of element nl of a handle, that is of the allocation behind
// it, computed as an integer (pointer arithmetic outside an allocation could
// be folded away by the compiler).
template <typename T>
std::uintptr_t allocationOf(T* handle, long nl) {
    return reinterpret_cast<std::uintptr_t>(handle) + static_cast<std::uintptr_t>(nl) * sizeof(T);
}

}  // namespace

// Under AddressSanitizer an allocation beyond its limit aborts unless the
// allocator may return a null pointer; the huge-allocation test needs the
// null pointer, as the plain allocator gives it.  Unused without the sanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

TEST(OffsetArrays, VectorWithArbitraryLowerBound) {
    double* v = dvector(-3, 4);
    for (long i = -3; i <= 4; ++i) v[i] = static_cast<double>(i) * 1.5;
    for (long i = -3; i <= 4; ++i) EXPECT_EQ(v[i], static_cast<double>(i) * 1.5);
    // Consecutive indices are consecutive elements of one allocation.
    EXPECT_EQ(&v[4] - &v[-3], 7);
    free_dvector(v, -3, 4);

    int* iv = ivector(1, 5);
    for (int i = 1; i <= 5; ++i) iv[i] = 10 * i;
    EXPECT_EQ(iv[1] + iv[5], 60);
    free_ivector(iv, 1, 5);
}

// An empty range (nh = nl - 1) still gets an allocation of its own: the
// handle is not null at its lower bound, two empty vectors do not share one
// (a null or shared handle would be freed twice), and the release frees it
// (under AddressSanitizer a leak or a double free fails the run).
TEST(OffsetArrays, EmptyRangesGiveReleasableHandles) {
    double* v = dvector(0, -1);
    double* w = dvector(5, 4);
    ASSERT_NE(allocationOf(v, 0), 0u);
    ASSERT_NE(allocationOf(w, 5), 0u);
    EXPECT_NE(allocationOf(v, 0), allocationOf(w, 5));
    free_dvector(v, 0, -1);
    free_dvector(w, 5, 4);

    int* iv = ivector(7, 6);
    ASSERT_NE(allocationOf(iv, 7), 0u);
    free_ivector(iv, 7, 6);

    // No columns: every row starts where the one block starts, and the
    // release finds the block through the first row.
    double** empty_cols = dmatrix(0, 3, 1, 0);
    ASSERT_NE(allocationOf(empty_cols, 0), 0u);
    ASSERT_NE(allocationOf(empty_cols[0], 1), 0u);
    for (long i = 1; i <= 3; ++i) EXPECT_EQ(empty_cols[i], empty_cols[0]);
    free_dmatrix(empty_cols, 0, 3, 1, 0);

    // No rows: the one row-pointer slot still holds the block.
    double** empty_rows = dmatrix(2, 1, 0, 4);
    ASSERT_NE(allocationOf(empty_rows, 2), 0u);
    ASSERT_NE(allocationOf(empty_rows[2], 0), 0u);
    free_dmatrix(empty_rows, 2, 1, 0, 4);

    // The element count asked of malloc is at least one.
    double* one = allocate_elements<double>(0);
    ASSERT_NE(one, nullptr);
    std::free(one);
}

TEST(OffsetArrays, MatrixIsOneContiguousRowMajorBlock) {
    const long nrl = -2, nrh = 3, ncl = 5, nch = 8;
    const long ncol = nch - ncl + 1;
    double** m = dmatrix(nrl, nrh, ncl, nch);
    for (long i = nrl; i <= nrh; ++i)
        for (long j = ncl; j <= nch; ++j) m[i][j] = 100.0 * i + j;
    for (long i = nrl; i < nrh; ++i) EXPECT_EQ(&m[i + 1][ncl] - &m[i][ncl], ncol);
    // Element (i, j) and (i + 1, j) lie ncol doubles apart; the last element
    // of the block is (nrh, nch).
    EXPECT_EQ(&m[nrh][nch] - &m[nrl][ncl], (nrh - nrl + 1) * ncol - 1);
    EXPECT_EQ(m[3][8], 308.0);
    EXPECT_EQ(m[-2][5], -195.0);
    free_dmatrix(m, nrl, nrh, ncl, nch);
}

TEST(OffsetArrays, ZeroBasedMatrixUsedFromOne) {
    double** m = dmatrix(0, 3, 0, 3);
    for (int i = 0; i <= 3; ++i)
        for (int j = 0; j <= 3; ++j) m[i][j] = -1.0;
    for (int i = 1; i <= 3; ++i)
        for (int j = 1; j <= 3; ++j) m[i][j] = i * j;
    for (int k = 0; k <= 3; ++k) {
        EXPECT_EQ(m[0][k], -1.0);
        EXPECT_EQ(m[k][0], -1.0);
    }
    free_dmatrix(m, 0, 3, 0, 3);
}

using OffsetArraysDeathTest = ::testing::Test;

TEST_F(OffsetArraysDeathTest, NrerrorWritesThreeLinesAndExitsWithOne) {
    EXPECT_EXIT(nrerror("allocation failure in dvector()"), ::testing::ExitedWithCode(1),
                "^Numerical Recipes run-time error\\.\\.\\.\nallocation failure in dvector\\(\\)\n"
                "\\.\\.\\.now exiting to system\\.\\.\\.\n");
}

TEST_F(OffsetArraysDeathTest, NrerrorWithEmptyTextKeepsTheMiddleLine) {
    EXPECT_EXIT(nrerror(""), ::testing::ExitedWithCode(1),
                "^Numerical Recipes run-time error\\.\\.\\.\n\n\\.\\.\\.now exiting to system\\.\\.\\.\n");
}

TEST_F(OffsetArraysDeathTest, MalformedRangeIsAFailedAllocation) {
    EXPECT_EXIT(dvector(5, 2), ::testing::ExitedWithCode(1), "allocation failure in dvector\\(\\)");
    EXPECT_EXIT(ivector(5, 2), ::testing::ExitedWithCode(1), "allocation failure in ivector\\(\\)");
    EXPECT_EXIT(dmatrix(5, 2, 0, 1), ::testing::ExitedWithCode(1), "allocation failure 1 in matrix\\(\\)");
    EXPECT_EXIT(dmatrix(0, 1, 5, 2), ::testing::ExitedWithCode(1), "allocation failure 2 in matrix\\(\\)");
}

TEST_F(OffsetArraysDeathTest, HugeAllocationIsRefusedThroughTheFatalPath) {
    EXPECT_EXIT(dvector(0, (1L << 62)), ::testing::ExitedWithCode(1), "allocation failure in dvector\\(\\)");
    EXPECT_EXIT(dmatrix(0, (1L << 40), 0, (1L << 40)), ::testing::ExitedWithCode(1),
                "allocation failure [12] in matrix\\(\\)");
}
