#include "driver/design_columns.h"

#include "engine/data_preparation.h"

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

bool burdenInDesignSpan(const DesignFactor& design, const double* x) {
    if (design.n <= 0) return false;
    return rankDeficientWith(design, x, true, kDependentColumn);
}

bool traitExplainedByDesign(const DesignFactor& design, const double* y) {
    if (design.n <= design.p) return true;
    return rankDeficientWith(design, y, false, kConstantSpread);
}
