// Linear algebra in long double for the reference values of the tests,
// written independently of the program's routines: Gauss-Jordan inversion
// and least squares by the normal equations.
#ifndef VENTARQUILLO_TESTS_REFERENCE_ALGEBRA_H
#define VENTARQUILLO_TESTS_REFERENCE_ALGEBRA_H

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace reference_algebra {

using LD = long double;
using Vec = std::vector<LD>;
using Mat = std::vector<Vec>;

inline Vec to_long(const std::vector<double>& v) { return Vec(v.begin(), v.end()); }
inline Mat to_long(const std::vector<std::vector<double>>& rows) {
    Mat m;
    for (const auto& r : rows) m.push_back(to_long(r));
    return m;
}

// Inverse by Gauss-Jordan elimination with partial pivoting.
inline Mat inverse(Mat a) {
    const std::size_t n = a.size();
    Mat inv(n, Vec(n, 0.0L));
    for (std::size_t i = 0; i < n; ++i) inv[i][i] = 1.0L;
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[piv][c])) piv = r;
        std::swap(a[c], a[piv]);
        std::swap(inv[c], inv[piv]);
        const LD d = a[c][c];
        for (std::size_t k = 0; k < n; ++k) {
            a[c][k] /= d;
            inv[c][k] /= d;
        }
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c) continue;
            const LD f = a[r][c];
            for (std::size_t k = 0; k < n; ++k) {
                a[r][k] -= f * a[c][k];
                inv[r][k] -= f * inv[c][k];
            }
        }
    }
    return inv;
}

// Least squares of y on the columns of X: the estimates, the inverse of the
// normal matrix X'X, the residuals and RSS / n.
struct LeastSquares {
    Vec est;
    Mat inv;
    Vec resid;
    LD rss_over_n = 0.0L;
};

inline LeastSquares least_squares(const Mat& X, const Vec& y) {
    const std::size_t n = X.size(), k = X[0].size();
    Mat A(k, Vec(k, 0.0L));
    Vec b(k, 0.0L);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t a = 0; a < k; ++a) {
            b[a] += X[i][a] * y[i];
            for (std::size_t c = 0; c < k; ++c) A[a][c] += X[i][a] * X[i][c];
        }
    LeastSquares r;
    r.inv = inverse(A);
    r.est.assign(k, 0.0L);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t c = 0; c < k; ++c) r.est[a] += r.inv[a][c] * b[c];
    r.resid.assign(n, 0.0L);
    for (std::size_t i = 0; i < n; ++i) {
        LD fit = 0.0L;
        for (std::size_t a = 0; a < k; ++a) fit += X[i][a] * r.est[a];
        r.resid[i] = y[i] - fit;
        r.rss_over_n += r.resid[i] * r.resid[i];
    }
    r.rss_over_n /= static_cast<LD>(n);
    return r;
}

}  // namespace reference_algebra

#endif
