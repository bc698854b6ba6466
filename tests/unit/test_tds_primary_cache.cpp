// The primary-trait builders on a cached null fit give, call after call, bit
// for bit the outputs and console text of the builders that fit the null
// model themselves: over genes of every family and size, across a change of
// records (the cache refits), and with a null fit that stops at the
// iteration cap (the warning comes at every call).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/single_burden_mle.h"
#include "engine/tds_primary_builders.h"
#include "numerics/offset_arrays.h"
#include "tds_test_model.h"

using tds_test::to_dmatrix;
using Rows = std::vector<std::vector<double>>;

namespace {

// Deterministic pseudo-random numbers in [0, 1).
struct Lcg {
    unsigned long long s;
    double next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s >> 11) / 9007199254740992.0;
    }
};

struct Records {
    int n1 = 0;
    std::vector<double> y10;
    std::vector<int> c10;
    Rows z;
    int n() const {
        int s = 0;
        for (int c : c10) s += c;
        return s;
    }
};

Records makeRecords(Lcg& r, int n1, int n0, double shift) {
    Records d;
    d.n1 = n1;
    for (int i = 0; i < n1; ++i) {
        d.y10.push_back(r.next() * 2.0 - 1.0 + 0.5 * (i % 3));
        d.c10.push_back(1);
        d.z.push_back({1.0, r.next() * 4.0});
    }
    for (int k = 0; k < n0; ++k) {
        d.y10.push_back(shift + 0.01 * k + r.next() * 0.005);
        d.c10.push_back(1 + k % 4);
    }
    return d;
}

// Six sequenced subjects on a line and 300 non-sequenced values (three
// subjects each) from far upwards: the point weights creep, and the EM meets
// its cap when far is 8.0, the tolerance in its very last iteration when far
// is 5.1925.
Records creepingRecords(double far) {
    Lcg r{3};
    Records d;
    d.n1 = 6;
    for (int i = 0; i < 6; ++i) {
        d.y10.push_back(r.next() * 2.0 - 1.0);
        d.c10.push_back(1);
        d.z.push_back({1.0, static_cast<double>(i)});
    }
    for (int k = 0; k < 300; ++k) {
        d.y10.push_back(far + 0.004 * k);
        d.c10.push_back(3);
    }
    return d;
}

struct Out {
    std::vector<double> U;
    std::vector<double> cov;
    std::vector<int> mac, mai;
    int n_work = -1, count = -1;
    std::string printed;
};

enum class Family { Vt, Skat, Multi };

// One builder call, cached (cache != nullptr) or not; capture: take what it
// prints on standard output (one thread at a time only).
Out call(PrimaryNullCache* cache, Family f, Records& d, const Rows& x, int MODEL, bool capture = true) {
    const int n1 = d.n1, n10 = static_cast<int>(d.y10.size()), nsnp = static_cast<int>(x[0].size()), p = 2;
    std::vector<double> q(nsnp), maf(nsnp), thresh;
    for (int j = 0; j < nsnp; ++j) {
        maf[j] = 0.005 * (1 + j % 3);
        q[j] = 1.0 - maf[j];
    }
    thresh = {0.005, 0.01, 0.015};
    Rows wt = {std::vector<double>(nsnp, 1.0), std::vector<double>(nsnp, 0.0)};
    for (int j = 0; j < nsnp; ++j) wt[1][j] = 0.5 + j;
    const int K = f == Family::Vt ? 3 : f == Family::Skat ? nsnp : 2;
    double** X = to_dmatrix(x);
    double** Z = to_dmatrix(d.z);
    double** W = to_dmatrix(wt);
    double** cov = dmatrix(0, K - 1, 0, K - 1);
    Out o;
    o.U.assign(K, 0.0);
    o.mac.assign(K, 0);
    o.mai.assign(K, 0);
    const int n = d.n();
    if (capture) testing::internal::CaptureStdout();
    if (f == Family::Vt && cache)
        EM_prim_VTtest_fixThresh2_cached(cache, MODEL, n, n10, n1, p, nsnp, d.c10.data(), d.y10.data(), X, Z, K,
                                         thresh.data(), maf.data(), q.data(), 1, o.mac.data(), o.mai.data(),
                                         &o.n_work, o.U.data(), cov, &o.count);
    else if (f == Family::Vt)
        EM_prim_VTtest_fixThresh2(MODEL, n, n10, n1, p, nsnp, d.c10.data(), d.y10.data(), X, Z, K, thresh.data(),
                                  maf.data(), q.data(), 1, o.mac.data(), o.mai.data(), &o.n_work, o.U.data(), cov,
                                  &o.count);
    else if (f == Family::Skat && cache)
        EM_prim_SKAT_cached(cache, MODEL, n, n10, n1, p, nsnp, d.c10.data(), d.y10.data(), X, Z, q.data(), 1,
                            o.mac.data(), o.mai.data(), &o.n_work, o.U.data(), cov, &o.count);
    else if (f == Family::Skat)
        EM_prim_SKAT(MODEL, n, n10, n1, p, nsnp, d.c10.data(), d.y10.data(), X, Z, q.data(), 1, o.mac.data(),
                     o.mai.data(), &o.n_work, o.U.data(), cov, &o.count);
    else if (cache)
        EM_prim_MULTI_cached(cache, n, n10, n1, p, nsnp, d.c10.data(), d.y10.data(), X, Z, K, W, q.data(), 1,
                             o.mac.data(), o.mai.data(), &o.n_work, o.U.data(), cov, &o.count);
    else
        EM_prim_MULTI(n, n10, n1, p, nsnp, d.c10.data(), d.y10.data(), X, Z, K, W, q.data(), 1, o.mac.data(),
                      o.mai.data(), &o.n_work, o.U.data(), cov, &o.count);
    if (capture) o.printed = testing::internal::GetCapturedStdout();
    for (int k = 0; k < K; ++k)
        for (int l = 0; l < K; ++l) o.cov.push_back(cov[k][l]);
    free_dmatrix(cov, 0, K - 1, 0, K - 1);
    tds_test::free_rows(W, wt);
    tds_test::free_rows(Z, d.z);
    tds_test::free_rows(X, x);
    return o;
}

bool bitEqual(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

void expectSame(const Out& cached, const Out& plain) {
    EXPECT_TRUE(bitEqual(cached.U, plain.U));
    EXPECT_TRUE(bitEqual(cached.cov, plain.cov));
    EXPECT_EQ(cached.mac, plain.mac);
    EXPECT_EQ(cached.mai, plain.mai);
    EXPECT_EQ(cached.n_work, plain.n_work);
    EXPECT_EQ(cached.count, plain.count);
    EXPECT_EQ(cached.printed, plain.printed);
}

Rows genotypes(Lcg& r, int n1, int nsnp) {
    Rows x(n1, std::vector<double>(nsnp, 0.0));
    for (int i = 0; i < n1; ++i)
        for (int j = 0; j < nsnp; ++j) {
            const double u = r.next();
            x[i][j] = u < 0.04 ? -999.0 : u < 0.25 ? 1.0 : u < 0.3 ? 2.0 : 0.0;
        }
    return x;
}

TEST(TdsPrimaryCache, EveryFamilyAndGeneMatchesTheBuildersThatFitThemselves) {
    Lcg r{42};
    Records d = makeRecords(r, 40, 25, 0.2);
    PrimaryNullCache* cache = newPrimaryNullCache();
    int nonzero = 0;
    for (int gene = 0; gene < 9; ++gene) {
        if (gene == 5) d.y10[3] += 0.25;  // other records: the cache refits
        const Rows x = genotypes(r, d.n1, 1 + gene % 5);
        const Family f = gene % 3 == 0 ? Family::Vt : gene % 3 == 1 ? Family::Skat : Family::Multi;
        const int MODEL = 1 + (gene / 3) % 3;
        const Out plain = call(nullptr, f, d, x, MODEL);
        const Out cached = call(cache, f, d, x, MODEL);
        SCOPED_TRACE(gene);
        expectSame(cached, plain);
        nonzero += plain.n_work;
    }
    EXPECT_GT(nonzero, 10);  // the comparison covered real scores
    freePrimaryNullCache(cache);
}

TEST(TdsPrimaryCache, ThreadsSharingOneCacheGetTheResultsOfOneThread) {
    // Two sets of records in turn on eight threads: calls that meet a fit
    // under way for their records wait for it, others fit and replace.
    Lcg r{11};
    Records d[2] = {makeRecords(r, 30, 20, 0.2), makeRecords(r, 30, 20, 0.6)};
    constexpr int kGenes = 24;
    std::vector<Rows> x;
    std::vector<Out> plain;
    for (int gene = 0; gene < kGenes; ++gene) {
        x.push_back(genotypes(r, 30, 1 + gene % 4));
        plain.push_back(call(nullptr, Family::Skat, d[gene % 2], x.back(), 1, false));
    }
    PrimaryNullCache* cache = newPrimaryNullCache();
    std::vector<Out> cached(kGenes);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            Records own[2] = {d[0], d[1]};
            for (int gene = t; gene < kGenes; gene += 8)
                cached[gene] = call(cache, Family::Skat, own[gene % 2], x[gene], 1, false);
        });
    for (std::thread& t : threads) t.join();
    for (int gene = 0; gene < kGenes; ++gene) {
        SCOPED_TRACE(gene);
        expectSame(cached[gene], plain[gene]);
    }
    freePrimaryNullCache(cache);
}

TEST(TdsPrimaryCache, ANullFitStoppedAtTheCapWarnsAtEveryCall) {
    // Six sequenced subjects on a line and a mass of non-sequenced values far
    // above them: the point weights creep and the EM meets its cap.
    Records d = creepingRecords(8.0);
    const Rows x = {{1, 0}, {0, 1}, {1, 0}, {0, 2}, {1, 0}, {0, 1}};
    PrimaryNullCache* cache = newPrimaryNullCache();
    for (int call_no = 0; call_no < 3; ++call_no) {
        const Out plain = call(nullptr, Family::Skat, d, x, 1);
        ASSERT_EQ(plain.count, 2000);
        ASSERT_EQ(plain.printed, "\nEM_quan Warning: EM iteration NOT converge!\n");
        expectSame(call(cache, Family::Skat, d, x, 1), plain);
    }
    freePrimaryNullCache(cache);
}

}  // namespace

namespace {

struct BurdenOut {
    double U = 0, V = 0, T = 0;
    int count = -1;
    std::string printed;
};

BurdenOut burdenCall(PrimaryNullCache* cache, Records& d, std::vector<double>& g) {
    const int n1 = d.n1, n10 = static_cast<int>(d.y10.size()), p = 2;
    double** Z = to_dmatrix(d.z);
    BurdenOut o;
    testing::internal::CaptureStdout();
    if (cache)
        scoreTest_MLE_Prim_cached(cache, d.n(), n10, n1, p, d.c10.data(), d.y10.data(), g.data(), Z, &o.U, &o.V,
                                  &o.T, &o.count);
    else
        scoreTest_MLE_Prim(d.n(), n10, n1, p, d.c10.data(), d.y10.data(), g.data(), Z, &o.U, &o.V, &o.T, &o.count);
    o.printed = testing::internal::GetCapturedStdout();
    tds_test::free_rows(Z, d.z);
    return o;
}

void expectSameBurden(const BurdenOut& cached, const BurdenOut& plain) {
    EXPECT_EQ(std::memcmp(&cached.U, &plain.U, sizeof(double)), 0) << cached.U << " " << plain.U;
    EXPECT_EQ(std::memcmp(&cached.V, &plain.V, sizeof(double)), 0) << cached.V << " " << plain.V;
    EXPECT_EQ(std::memcmp(&cached.T, &plain.T, sizeof(double)), 0) << cached.T << " " << plain.T;
    EXPECT_EQ(cached.count, plain.count);
    EXPECT_EQ(cached.printed, plain.printed);
}

}  // namespace

TEST(TdsPrimaryCache, TheSingleBurdenScoreTestMatchesTheTestThatFitsItself) {
    Lcg r{77};
    Records d = makeRecords(r, 45, 30, -0.1);
    PrimaryNullCache* cache = newPrimaryNullCache();
    for (int gene = 0; gene < 8; ++gene) {
        if (gene == 4) d.y10[d.n1 + 2] += 0.125;  // other records: the cache refits
        std::vector<double> g(d.n1);
        for (int j = 0; j < d.n1; ++j) {
            const double u = r.next();
            // Counts, dosages and, for gene 6, a burden carried by no one.
            g[j] = gene == 6 ? 0.0 : u < 0.15 ? 1.0 : u < 0.2 ? 2.0 : u < 0.25 ? 0.37 * (1 + gene) : 0.0;
        }
        const BurdenOut plain = burdenCall(nullptr, d, g);
        const BurdenOut cached = burdenCall(cache, d, g);
        SCOPED_TRACE(gene);
        expectSameBurden(cached, plain);
        if (gene != 6) {
            EXPECT_GT(plain.V, 0.0);
        }
    }
    freePrimaryNullCache(cache);
}

TEST(TdsPrimaryCache, TheSingleBurdenScoreTestRepeatsTheWarningOfANullFitAtTheCap) {
    Records d = creepingRecords(8.0);
    std::vector<double> g = {1, 0, 1, 0, 2, 0};
    PrimaryNullCache* cache = newPrimaryNullCache();
    for (int call_no = 0; call_no < 3; ++call_no) {
        const BurdenOut plain = burdenCall(nullptr, d, g);
        ASSERT_EQ(plain.count, 2000);
        ASSERT_EQ(plain.printed, "\nEM_quan Warning: EM iteration NOT converge!\n");
        expectSameBurden(burdenCall(cache, d, g), plain);
        g[call_no] = 1.0 - g[call_no];
    }
    freePrimaryNullCache(cache);
}

TEST(TdsPrimaryCache, ANullFitThatConvergesInItsLastAllowedIterationNeverWarns) {
    // As above with the mass of non-sequenced values nearer: the EM meets the
    // tolerance in iteration 2000 exactly, reports 2000 and prints nothing;
    // a count of 2000 alone does not tell a warning to repeat.
    Records d = creepingRecords(5.1925);
    const Rows x = {{1, 0}, {0, 1}, {1, 0}, {0, 2}, {1, 0}, {0, 1}};
    std::vector<double> g = {1, 0, 1, 0, 2, 0};
    PrimaryNullCache* cache = newPrimaryNullCache();
    for (int call_no = 0; call_no < 3; ++call_no) {
        const Out plain = call(nullptr, Family::Vt, d, x, 1);
        ASSERT_EQ(plain.count, 2000);
        ASSERT_EQ(plain.printed, "");
        expectSame(call(cache, Family::Vt, d, x, 1), plain);
        const BurdenOut plainBurden = burdenCall(nullptr, d, g);
        ASSERT_EQ(plainBurden.printed, "");
        expectSameBurden(burdenCall(cache, d, g), plainBurden);
    }
    freePrimaryNullCache(cache);
}
