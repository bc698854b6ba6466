#include "numerics/linear_algebra.h"

#include <cmath>

#include "numerics/offset_arrays.h"

// Crout's decomposition with implicit partial pivoting, column by column:
// every entry is a[i][j] - a[i][1]*a[1][j] - a[i][2]*a[2][j] - ..., the
// products subtracted one at a time in increasing order of the inner index,
// and the entries below the diagonal are scaled by the reciprocal pivot once
// their column is complete.  The matrices of the program are small (the
// coefficients of a model, the components of a maximum statistic).

namespace {

// Returns false, with a and indx untouched, when a row is all zeros.
bool crout_decompose(double** a, int n, int* indx, double* d) {
    double* vv = dvector(1, n);
    for (int i = 1; i <= n; ++i) {
        double big = 0.0;
        for (int j = 1; j <= n; ++j) {
            const double t = std::fabs(a[i][j]);
            if (t > big) big = t;
        }
        if (big == 0.0) {
            free_dvector(vv, 1, n);
            return false;
        }
        vv[i] = 1.0 / big;
    }
    if (d != nullptr) *d = 1.0;
    for (int j = 1; j <= n; ++j) {
        for (int i = 1; i < j; ++i) {
            double sum = a[i][j];
            for (int k = 1; k < i; ++k) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
        }
        // The pivot: the largest scaled candidate, the last of equal ones.
        double big = 0.0;
        int imax = j;
        for (int i = j; i <= n; ++i) {
            double sum = a[i][j];
            for (int k = 1; k < j; ++k) sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
            const double dum = vv[i] * std::fabs(sum);
            if (dum >= big) {
                big = dum;
                imax = i;
            }
        }
        if (j != imax) {
            for (int k = 1; k <= n; ++k) {
                const double t = a[imax][k];
                a[imax][k] = a[j][k];
                a[j][k] = t;
            }
            if (d != nullptr) *d = -*d;
            vv[imax] = vv[j];
        }
        indx[j] = imax;
        if (a[j][j] == 0.0) a[j][j] = TINY;
        if (j != n) {
            const double dum = 1.0 / a[j][j];
            for (int i = j + 1; i <= n; ++i) a[i][j] *= dum;
        }
    }
    free_dvector(vv, 1, n);
    return true;
}

}  // namespace

void ludcmp(double** a, int n, int* indx) {
    if (!crout_decompose(a, n, indx, nullptr)) nrerror("Sigmatrix in ludcmp");
}

void ludcmp2(double** a, int n, int* indx, double* d) {
    if (!crout_decompose(a, n, indx, d)) *d = 0.0;
}

double Determinant(double** a, int n) {
    int* indx = ivector(1, n);
    double d = 0.0;
    ludcmp2(a, n, indx, &d);
    for (int j = 1; j <= n; ++j) d *= a[j][j];
    free_ivector(indx, 1, n);
    return d;
}

void lubksb(double** a, int n, int* indx, double* b) {
    int ii = 0;
    for (int i = 1; i <= n; ++i) {
        const int ip = indx[i];
        double sum = b[ip];
        b[ip] = b[i];
        if (ii != 0) {
            for (int k = ii; k <= i - 1; ++k) sum -= a[i][k] * b[k];
        } else if (sum != 0.0) {
            ii = i;
        }
        b[i] = sum;
    }
    for (int i = n; i >= 1; --i) {
        double sum = b[i];
        for (int k = i + 1; k <= n; ++k) sum -= a[i][k] * b[k];
        b[i] = sum / a[i][i];
    }
}

// The inverse, column by column: lubksb on each unit vector.
void invv(double** fma, int nn) {
    int* indx = ivector(1, nn);
    double** ipi = dmatrix(1, nn, 1, nn);
    double* col = dvector(1, nn);
    ludcmp(fma, nn, indx);
    for (int j = 1; j <= nn; ++j) {
        for (int i = 1; i <= nn; ++i) col[i] = 0.0;
        col[j] = 1.0;
        lubksb(fma, nn, indx, col);
        for (int i = 1; i <= nn; ++i) ipi[i][j] = col[i];
    }
    for (int i = 1; i <= nn; ++i)
        for (int j = 1; j <= nn; ++j) fma[i][j] = ipi[i][j];
    free_dvector(col, 1, nn);
    free_dmatrix(ipi, 1, nn, 1, nn);
    free_ivector(indx, 1, nn);
}
