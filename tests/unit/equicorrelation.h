// 1-based equicorrelated correlation matrix (unit diagonal, rho elsewhere),
// as mvn_pvalue and maxnormal_tail take it.
#ifndef VENTARQUILLO_TESTS_EQUICORRELATION_H
#define VENTARQUILLO_TESTS_EQUICORRELATION_H

#include "numerics/offset_arrays.h"

struct Corr {
    int n;
    double** S;
    Corr(int n_, double rho) : n(n_), S(dmatrix(1, n_, 1, n_)) {
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) S[i][j] = i == j ? 1.0 : rho;
    }
    ~Corr() { free_dmatrix(S, 1, n, 1, n); }
    Corr(const Corr&) = delete;
    Corr& operator=(const Corr&) = delete;
};

#endif
