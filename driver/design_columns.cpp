#include "driver/design_columns.h"

#include <vector>

#include "driver/trait_checks.h"
#include "engine/data_preparation.h"
#include "numerics/offset_arrays.h"

void selectColumns(int rows, int p, double** src, const double* flags, double** dst) {
    for (int i = 0; i < rows; ++i) {
        int c = 0;
        dst[i][c++] = 1.0;
        for (int k = 1; k < p; ++k)
            if (flags[k - 1] > 0.5) dst[i][c++] = src[i][k];
    }
}

bool constantOver(int n, const double* v) {
    for (int i = 1; i < n; ++i)
        if (!(v[i] == v[0])) return false;
    return n >= 1;
}

bool burdenInDesignSpan(int n, const double* x, double** design, int D) {
    if (n <= 0) return false;
    double** m = dmatrix(0, n - 1, 0, D);
    for (int i = 0; i < n; ++i) {
        m[i][0] = x[i];
        for (int c = 0; c < D; ++c) m[i][c + 1] = design[i][c];
    }
    std::vector<int> involved(static_cast<std::size_t>(D) + 1);
    const int rank = dependentColumns(n, D + 1, m, kDependentColumn, involved.data());
    free_dmatrix(m, 0, n - 1, 0, D);
    return rank < D + 1;
}

bool traitExplainedByDesign(int n, const double* y, double** design, int D) {
    if (n <= D) return true;
    double** m = dmatrix(0, n - 1, 0, D);
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < D; ++c) m[i][c] = design[i][c];
        m[i][D] = y[i];
    }
    std::vector<int> involved(static_cast<std::size_t>(D) + 1);
    const int rank = dependentColumns(n, D + 1, m, kConstantSpread, involved.data());
    free_dmatrix(m, 0, n - 1, 0, D);
    return rank < D + 1;
}
