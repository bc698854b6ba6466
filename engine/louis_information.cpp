#include "engine/louis_information.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tds_detail {

namespace {

using std::size_t;

// Residual moments of each point under the membership weights:
// r_k[j] = (y_j - etaW_j)^k + sum over non-sequenced i of phi[i][j]*(y_i - etaW_j)^k,
// the records in increasing order; zero weights are skipped.
void residual_moments(const RecordsView& rec, const FitView& fit, int n0, std::vector<double>& r1,
                      std::vector<double>& r2, std::vector<double>& r3, std::vector<double>& r4) {
    const int n1 = rec.n1;
    r1.resize(n1);
    r2.resize(n1);
    r3.resize(n1);
    r4.resize(n1);
    const double* y0 = rec.y10 + n1;
    for (int j = 0; j < n1; ++j) {
        const double e = fit.etaW[j];
        const double dl = rec.y10[j] - e;
        const double d2 = dl * dl;
        const double d3 = d2 * dl;
        double s1 = dl, s2 = d2, s3 = d3, s4 = d3 * dl;
        const double* pj = fit.post + static_cast<size_t>(j) * n0;
        for (int i = 0; i < n0; ++i) {
            const double p = pj[i];
            if (p == 0.0) continue;
            const double x = y0[i] - e;
            const double x2 = x * x;
            const double x3 = x2 * x;
            s1 += p * x;
            s2 += p * x2;
            s3 += p * x3;
            s4 += p * (x3 * x);
        }
        r1[j] = s1;
        r2[j] = s2;
        r3[j] = s3;
        r4[j] = s4;
    }
}

// The point block of the reduced information as I + Ut D^-1 Ut': the last
// point L = n1 - 1 is the one the constraint drops; for j < L
//   Ut[j][0] = qm_j,  Ut[j][1+i] = post[j][i] - qm_j * post[L][i] / qm_L,
// and D = (qm_L^2, c_0, ..., c_{n0-1}).  Ut is not stored: its entries are
// formed from the fit's weights whenever the factorization reads them.
IdentityPlusLowRank factor_point_block(const RecordsView& rec, const FitView& fit, int n0,
                                       IdentityPlusLowRank::Form form) {
    const int n1 = rec.n1;
    const int r = n1 - 1;
    const int k = n0 + 1;
    const int L = n1 - 1;
    std::vector<double> t(n0);
    const double* pL = fit.post + static_cast<size_t>(L) * n0;
    for (int i = 0; i < n0; ++i) t[i] = pL[i] / fit.qm[L];
    auto entries = [t = std::move(t), post = fit.post, qm = fit.qm, n0](int j0, int j1, int x0, int x1, double* out,
                                                                       int ld) {
        for (int j = j0; j < j1; ++j) {
            double* u = out + static_cast<size_t>(j - j0) * ld;
            const double* pj = post + static_cast<size_t>(j) * n0;
            const double q = qm[j];
            int x = x0;
            if (x == 0 && x < x1) u[x++] = q;
            for (; x < x1; ++x) u[x - x0] = pj[x - 1] - q * t[x - 1];
        }
    };
    std::vector<double> d(k);
    d[0] = fit.qm[L] * fit.qm[L];
    for (int i = 0; i < n0; ++i) d[1 + i] = rec.c10[n1 + i];
    return IdentityPlusLowRank(r, k, std::move(entries), d.data(), form);
}

}  // namespace

FitInformation::FitInformation(const RecordsView& records, const FitView& fit, bool full_coefficient_variance,
                               IdentityPlusLowRank::Form form)
    : rec_(records),
      fit_(fit),
      full_(full_coefficient_variance),
      n0_(records.n10 - records.n1),
      point_block_(factor_point_block(records, fit, records.n10 - records.n1, form)) {
    residual_moments(rec_, fit_, n0_, r1_, r2_, r3_, r4_);
    for (int j = 0; j < rec_.n1; ++j) {
        R2_ += r2_[j];
        R4_ += r4_[j];
    }
}

FitInformation::Block FitInformation::block(double** X, int col0, int kc, bool sigma) const {
    const int n1 = rec_.n1;
    const int n10 = rec_.n10;
    const int n0 = n0_;
    const double s = fit_.s;
    const double s2 = s * s;
    const double two_s = 2.0 * s;
    Block b;
    b.kc = kc;
    b.sigma = sigma;
    b.k = kc + (sigma ? 1 : 0);
    const int k = b.k;
    b.cols.resize(static_cast<size_t>(n1) * kc);
    for (int j = 0; j < n1; ++j)
        for (int a = 0; a < kc; ++a) b.cols[static_cast<size_t>(j) * kc + a] = X[j][col0 + a];
    auto col = [&](int j, int a) { return b.cols[static_cast<size_t>(j) * kc + a]; };

    // Record scores.  A record's coefficient score is (y ai - bi)/s with
    // ai = sum over points of phi*x and bi = sum of phi*etaW*x; sigma11's is
    // -c/(2s) + (y^2 c - 2 y E + F)/(2s^2), E and F the fitted parts of ai
    // and bi weighted by eta.  A sequenced record sits on its own point
    // (phi 1 there, 0 elsewhere, c = 1): ai = x and bi = etaW*x.
    b.L.assign(static_cast<size_t>(k) * n10, 0.0);
    auto Lrow = [&](int a) { return b.L.data() + static_cast<size_t>(a) * n10; };
    std::vector<double> ai(kc), bi(kc);
    for (int j = 0; j < n1; ++j) {
        const double y = rec_.y10[j];
        for (int a = 0; a < kc; ++a) {
            ai[a] = col(j, a);
            bi[a] = fit_.etaW[j] * col(j, a);
            Lrow(a)[j] = (y * ai[a] - bi[a]) / s;
        }
        if (sigma) {
            double E = 0.0, F = 0.0;
            for (int a = 0; a < kc; ++a) {
                E += fit_.eta[a] * ai[a];
                F += fit_.eta[a] * bi[a];
            }
            Lrow(kc)[j] = -1.0 / two_s + (y * y - 2.0 * y * E + F) / (2.0 * s2);
        }
    }
    if (n0 > 0) {
        // The sums over points of the non-sequenced records, point by point,
        // every record's sum in increasing point order.
        std::vector<double> A(static_cast<size_t>(kc) * n0, 0.0), B(static_cast<size_t>(kc) * n0, 0.0);
        for (int j = 0; j < n1; ++j) {
            const double* pj = fit_.post + static_cast<size_t>(j) * n0;
            const double e = fit_.etaW[j];
            for (int a = 0; a < kc; ++a) {
                const double x = col(j, a);
                double* Aa = A.data() + static_cast<size_t>(a) * n0;
                double* Ba = B.data() + static_cast<size_t>(a) * n0;
                for (int i = 0; i < n0; ++i) {
                    Aa[i] += pj[i] * x;
                    Ba[i] += (pj[i] * e) * x;
                }
            }
        }
        for (int i = 0; i < n0; ++i) {
            const double y = rec_.y10[n1 + i];
            const double c = rec_.c10[n1 + i];
            double E = 0.0, F = 0.0;
            for (int a = 0; a < kc; ++a) {
                const double aa = A[static_cast<size_t>(a) * n0 + i];
                const double bb = B[static_cast<size_t>(a) * n0 + i];
                Lrow(a)[n1 + i] = (y * aa - bb) / s;
                if (sigma) {
                    E += fit_.eta[a] * aa;
                    F += fit_.eta[a] * bb;
                }
            }
            if (sigma) Lrow(kc)[n1 + i] = -c / two_s + (y * y * c - 2.0 * y * E + F) / (2.0 * s2);
        }
    }

    // Rows against the points: Q13 - Q12 (Q11 has no entries there), with
    // Q13[a][j] = (l_j[a] + sum over non-sequenced i of (l_i[a]/c_i) phi[i][j]) / qm_j;
    // then the last point's entry subtracted and each entry scaled by qm_j.
    const double dn = rec_.n;
    const double minus_n_over_2s = -dn / two_s;
    const int r = n1 - 1;
    std::vector<double> lc(static_cast<size_t>(k) * n0);  // l_i[a] / c_i, row a
    for (int a = 0; a < k; ++a)
        for (int i = 0; i < n0; ++i) lc[static_cast<size_t>(a) * n0 + i] = Lrow(a)[n1 + i] / rec_.c10[n1 + i];
    std::vector<double> row(static_cast<size_t>(k) * n1);  // row a: the entries of parameter a against the points
    std::vector<double> acc(static_cast<size_t>(k));
    for (int j = 0; j < n1; ++j) {
        // Each sum in increasing record order; the sums of four parameters
        // advance side by side over the point's weights.
        const double* pj = fit_.post + static_cast<size_t>(j) * n0;
        int a = 0;
        for (; a + 4 <= k; a += 4) {
            const double* l0 = lc.data() + static_cast<size_t>(a) * n0;
            const double* l1 = l0 + n0;
            const double* l2 = l1 + n0;
            const double* l3 = l2 + n0;
            double s0 = Lrow(a)[j], s1 = Lrow(a + 1)[j], s2a = Lrow(a + 2)[j], s3a = Lrow(a + 3)[j];
            for (int i = 0; i < n0; ++i) {
                const double p = pj[i];
                s0 += l0[i] * p;
                s1 += l1[i] * p;
                s2a += l2[i] * p;
                s3a += l3[i] * p;
            }
            acc[a] = s0, acc[a + 1] = s1, acc[a + 2] = s2a, acc[a + 3] = s3a;
        }
        for (; a < k; ++a) {
            const double* la = lc.data() + static_cast<size_t>(a) * n0;
            double sum = Lrow(a)[j];
            for (int i = 0; i < n0; ++i) sum += la[i] * pj[i];
            acc[a] = sum;
        }
        const double q = fit_.qm[j];
        for (a = 0; a < k; ++a) {
            const double p12 = a < kc ? (r1_[j] * col(j, a)) / (s * q) : minus_n_over_2s + r2_[j] / (2.0 * s2 * q);
            row[static_cast<size_t>(a) * n1 + j] = acc[a] / q - p12;
        }
    }
    b.Ct.resize(static_cast<size_t>(std::max(r, 0)) * k);
    for (int a = 0; a < k; ++a) {
        const double* ra = row.data() + static_cast<size_t>(a) * n1;
        const double last = ra[n1 - 1];
        for (int j = 0; j < r; ++j) b.Ct[static_cast<size_t>(j) * k + a] = (ra[j] - last) * fit_.qm[j];
    }
    b.whitened = point_block_.whiten(b.Ct.data(), k);
    return b;
}

void FitInformation::small_block(const Block& x, const Block& y, double* out) const {
    const int n1 = rec_.n1;
    const int n10 = rec_.n10;
    const double dn = rec_.n;
    const double s = fit_.s;
    const double s2 = s * s;
    const double s3 = s2 * s;
    const double s4 = s3 * s;
    const int ky = y.k;

    // Q13: the records' products, record by record; y's scores record-major
    // so that the entries of a row of out advance side by side.
    std::vector<double> q13(static_cast<size_t>(x.k) * ky, 0.0);
    std::vector<double> ly(static_cast<size_t>(n10) * ky);
    for (int b = 0; b < ky; ++b)
        for (int i = 0; i < n10; ++i) ly[static_cast<size_t>(i) * ky + b] = y.L[static_cast<size_t>(b) * n10 + i];
    for (int a = 0; a < x.k; ++a) {
        const double* la = x.L.data() + static_cast<size_t>(a) * n10;
        double* qa = q13.data() + static_cast<size_t>(a) * ky;
        for (int i = 0; i < n10; ++i) {
            const double l = la[i];
            if (l == 0.0) continue;
            const double* lb = ly.data() + static_cast<size_t>(i) * ky;
            const int c = rec_.c10[i];
            if (c == 1) {
                for (int b = 0; b < ky; ++b) qa[b] += l * lb[b];
            } else {
                const double cd = c;
                for (int b = 0; b < ky; ++b) qa[b] += (l * lb[b]) / cd;
            }
        }
    }

    // Q11 and Q12 between coefficients: sums over the points.
    std::vector<double> s11(static_cast<size_t>(x.kc) * y.kc, 0.0), s12(s11.size(), 0.0);
    for (int a = 0; a < x.kc; ++a) {
        double* s11a = s11.data() + static_cast<size_t>(a) * y.kc;
        double* s12a = s12.data() + static_cast<size_t>(a) * y.kc;
        for (int j = 0; j < n1; ++j) {
            const double xa = x.cols[static_cast<size_t>(j) * x.kc + a];
            const double qa = fit_.qm[j] * xa;
            const double ra = r2_[j] * xa;
            const double* yj = y.cols.data() + static_cast<size_t>(j) * y.kc;
            for (int b = 0; b < y.kc; ++b) {
                s11a[b] += qa * yj[b];
                s12a[b] += ra * yj[b];
            }
        }
    }

    for (int a = 0; a < x.k; ++a) {
        for (int b = 0; b < ky; ++b) {
            const bool ca = a < x.kc;
            const bool cb = b < y.kc;
            double q11 = 0.0, q12 = 0.0;
            if (ca && cb) {
                q11 = -dn * s11[static_cast<size_t>(a) * y.kc + b] / s;
                q12 = s12[static_cast<size_t>(a) * y.kc + b] / s2;
            } else if (ca || cb) {
                // A coefficient against sigma11.
                const Block& c = ca ? x : y;
                const int col = ca ? a : b;
                double sum1 = 0.0, sum3 = 0.0;
                for (int j = 0; j < n1; ++j) {
                    const double v = c.cols[static_cast<size_t>(j) * c.kc + col];
                    if (full_) sum1 -= r1_[j] * v;
                    sum3 += r3_[j] * v;
                }
                q11 = sum1 / s2;
                q12 = full_ ? 0.5 * q11 + sum3 / (2.0 * s3) : sum3 / (2.0 * s3);
            } else {
                q11 = -dn / (2.0 * s2);
                q12 = dn / (4.0 * s2) - R2_ / (2.0 * s3) + R4_ / (4.0 * s4);
            }
            out[static_cast<size_t>(a) * ky + b] = q13[static_cast<size_t>(a) * ky + b] - q11 - q12;
        }
    }
}

void FitInformation::schur(const Block& x, const Block& y, double* out) const {
    small_block(x, y, out);
    std::vector<double> q(static_cast<size_t>(x.k) * y.k);
    point_block_.quadratic(x.whitened, y.whitened, q.data());
    for (size_t e = 0; e < q.size(); ++e) out[e] = out[e] - q[e];
}

void FitInformation::score(const Block& x, double* U) const {
    for (int a = 0; a < x.kc; ++a) {
        const double* la = x.L.data() + static_cast<size_t>(a) * rec_.n10;
        double u = 0.0;
        for (int i = 0; i < rec_.n10; ++i) u += la[i];
        U[a] = u;
    }
}

}  // namespace tds_detail
