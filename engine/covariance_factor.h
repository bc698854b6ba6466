// A covariance of K scores written as a Gram product over n subjects,
//
//   cov[k][l] = scale * sum_{i < n} R[k][i] R[l][i]
//
// for the columns k, l that a builder kept (the rows of the other columns
// are not read).  The least-squares builders give it for the per-variant
// columns of a gene with more usable columns than subjects: R[k] is column
// k's residual against the null design, (I - H) S_k.  The variance-component
// p-value then takes its eigenvalues from the n by n subject-side matrix,
// whose non-zero eigenvalues are those of the K by K weighted covariance.
#ifndef VENTARQUILLO_ENGINE_COVARIANCE_FACTOR_H
#define VENTARQUILLO_ENGINE_COVARIANCE_FACTOR_H

#include <vector>

struct CovarianceFactor {
    int n = 0;              // subjects; 0 when there is no factor
    double scale = 0.0;
    std::vector<double> R;  // K rows of n entries, row k from R[k * n]
};

#endif
