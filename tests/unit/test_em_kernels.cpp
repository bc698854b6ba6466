// The E-step kernel on records whose terms qm_j exp(-(y - etaW_j)^2 / 2s)
// fall below the smallest normal double: their posterior weights against
// the same terms taken in long double, whose range holds them as normal
// numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/em_kernels.h"
#include "same_bits.h"

namespace {

// Four points and three non-sequenced records.  With 2s = 1, fitted values
// k/64 and values 0.5, 26.75 and 27.0 every exponent is an exact double; the
// records' terms are near 0.3, 1e-311 and 1e-317 (the last two subnormal,
// with about 45 and 25 significant bits).
constexpr int kPoints = 4;
constexpr int kRecords = 3;
const double kEtaW[kPoints] = {0.0, 1.0 / 64, 2.0 / 64, 3.0 / 64};
const double kQm[kPoints] = {0.25, 0.125, 0.375, 0.25};
const double kValues[kRecords] = {0.5, 26.75, 27.0};
const int kCounts[kRecords] = {3, 1, 2};

struct EStep {
    std::vector<double> y10, qm, count0, fm, terms, a, b;
    std::vector<std::vector<double>> post;  // [point][record]
};

EStep run_e_step() {
    EStep e;
    e.y10 = {0.1, -0.2, 0.3, 0.05};  // the sequenced subjects' values
    e.y10.insert(e.y10.end(), kValues, kValues + kRecords);
    e.qm.assign(kQm, kQm + kPoints);
    e.count0.assign(kCounts, kCounts + kRecords);
    e.fm.assign(kRecords, 0.0);
    e.terms.assign(kRecords, 0.0);
    e.a.assign(kPoints, 0.0);
    e.b.assign(kPoints, 0.0);
    e.post.assign(kPoints, std::vector<double>(kRecords, 0.0));
    std::vector<double*> rows;
    for (auto& r : e.post) rows.push_back(r.data());
    const EmArrays x{kPoints, kRecords, e.y10.data() + kPoints, kCounts, e.count0.data(), rows.data(),
                     e.fm.data(), e.terms.data(), e.a.data(), e.b.data()};
    e_step_and_point_weights(0.5, 100.0, e.y10.data(), e.qm.data(), kEtaW, x);
    return e;
}

}  // namespace

TEST(EmKernels, RecordsWithSubnormalTermsGetTheirPosteriorToFullPrecision) {
    using LD = long double;
    with_each_kernel([] {
        const EStep e = run_e_step();
        for (int i = 0; i < kRecords; ++i) {
            LD u[kPoints], sum = 0.0L;
            for (int j = 0; j < kPoints; ++j) {
                const LD d = static_cast<LD>(kValues[i]) - kEtaW[j];
                u[j] = kQm[j] * std::exp(-d * d);
                sum += u[j];
            }
            if (i > 0) {
                ASSERT_LT(sum, 1e-300L);  // the terms are below the normal range of doubles
            }
            for (int j = 0; j < kPoints; ++j) {
                const double want = static_cast<double>(kCounts[i] * u[j] / sum);
                EXPECT_NEAR(e.post[j][i], want, 1e-12 * want) << "record " << i << ", point " << j;
            }
        }
        // The M-step sums and point weights from those posteriors.
        for (int j = 0; j < kPoints; ++j) {
            LD a = 1.0L, b = e.y10[j];
            for (int i = 0; i < kRecords; ++i) {
                a += e.post[j][i];
                b += static_cast<LD>(e.post[j][i]) * kValues[i];
            }
            EXPECT_NEAR(e.a[j], static_cast<double>(a), 1e-14 * static_cast<double>(a));
            EXPECT_NEAR(e.b[j], static_cast<double>(b), 1e-13 * std::fabs(static_cast<double>(b)) + 1e-15);
            EXPECT_EQ(e.qm[j], e.a[j] / 100.0);
        }
    });
}
