// Whether one vector lies in the span of a design: the question that the
// quality checks ask of every score column of every gene, against a design
// that changes only between traits (or between patterns of missing values).
//
// The answer is the one of dependentColumns on the design with the vector
// beside it, but the design is factored once and kept: a thread keeps the
// factors of the designs it met last, keyed by their contents, so that a
// caller hands over the design as it is and gets the same answer whether the
// factor was cached or not.
#ifndef VENTARQUILLO_ENGINE_DESIGN_SPAN_H
#define VENTARQUILLO_ENGINE_DESIGN_SPAN_H

#include <memory>
#include <vector>

// The n by p design z (0-based, rows = subjects) with what the checks reuse:
//   zz[a * p + b]  sum over i of z[i][a] z[i][b], summed in subject order
//                  from 0.0 (every a, b; the same bits as a direct sum);
//   finite         every entry of z is a finite number;
//   usable         the factor below exists: n > p, every column has a
//                  positive finite norm and R is well away from singular;
//   q[i * p + c]   an orthonormal basis of the column span (Householder QR of
//                  z with its columns scaled to unit norm);
//   inv_r_norm     the Frobenius norm of R^-1 of that QR, at least the
//                  reciprocal of the smallest singular value of the scaled z.
struct DesignFactor {
    int n = 0;
    int p = 0;
    std::vector<double> z;  // n by p, row-major: the key of the cache
    std::vector<double> zz;
    bool finite = false;
    bool usable = false;
    std::vector<double> q;
    double inv_r_norm = 0.0;
};

// The factor of the n by p design z, from this thread's cache when the same
// design (n, p and every bit of z) was factored before.  A caller that asks
// several questions of one design looks it up once and keeps the handle.
std::shared_ptr<const DesignFactor> factoredDesign(int n, int p, double** z);

// True when dependentColumns(n, p + 1, m, tol, ...) < p + 1 for the design's
// n by p matrix z and m = [v, z] when v_first, m = [z, v] otherwise.  When
// the factor proves the rank full (v, scaled to unit norm, keeps a part
// outside the span of z that is large against tol and the conditioning of
// z), the pivoted QR is not run: its rank is then p + 1 whatever order it
// pivots in, because its largest remaining column norm never falls below
// sigma_min([v, z]) / sqrt(p + 1).  Otherwise (a vector near the span, a
// design near singular, a value that is not a finite number) the pivoted QR
// decides, as it always did.
bool rankDeficientWith(const DesignFactor& design, const double* v, bool v_first, double tol);

#endif
