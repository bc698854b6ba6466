#include "engine/tds_primary_builders.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/score_columns.h"
#include "engine/tds_em.h"
#include "engine/tds_em_detail.h"
#include "numerics/console.h"
#include "numerics/offset_arrays.h"

namespace {

// The null fit of the primary trait on the covariates alone.  It depends only
// on the pooled records and z, not on the gene's genotypes, and is kept as a
// step of its own for that reason.
tds_detail::EmFit fitPrimaryNull(int n, int n10, int n1, int p, int* c10, double* y10, double** z) {
    return tds_detail::fit_em(n, n10, n1, p, c10, y10, z, tds_detail::kTolerance, tds_detail::kMaxIterations);
}

// The K score columns coded into the first K columns of SZ, with the
// covariates z behind them, each checked (n_work counts those that pass).
struct CheckedColumns {
    int m = 0;                   // K (at least one slot)
    double** SZ = nullptr;       // [n1][m], the coded columns
    int* null_thresh = nullptr;  // [K], 1 = dropped
};

CheckedColumns codeAndCheckColumns(const ColumnSource& src, int K, int n1, int p, double** z, int MAI_LB,
                                   const ScoreSet& set) {
    CheckedColumns cols;
    cols.m = std::max(K, 1);
    cols.SZ = dmatrix(0, n1 - 1, 0, cols.m - 1);
    double* S = dvector(0, n1 - 1);
    int* mac = ivector(0, n1 - 1);
    cols.null_thresh = ivector(0, lastIndex(K));
    *set.n_work = 0;
    const std::shared_ptr<const DesignFactor> design = factoredDesign(n1, p, z);
    for (int t = 0; t < K; ++t) {
        codeColumn(src, t, n1, S, mac);
        for (int i = 0; i < n1; ++i) cols.SZ[i][t] = S[i];
        checkColumn(src, t, *design, MAI_LB, S, mac, set, cols.null_thresh);
    }
    clearScores(K, set);
    free_ivector(mac, 0, n1 - 1);
    free_dvector(S, 0, n1 - 1);
    return cols;
}

void release(CheckedColumns& cols, int K, int n1) {
    free_ivector(cols.null_thresh, 0, lastIndex(K));
    free_dmatrix(cols.SZ, 0, n1 - 1, 0, cols.m - 1);
}

// The body shared by the three builders: null fit; K columns coded into SZ
// and checked; efficient
// scores and covariance of all K columns when at least one passed; then the
// columns with a non-positive variance are dropped as well.
void primaryScoreSet(const ColumnSource& src, int K, int n, int n10, int n1, int p, int* c10, double* y10,
                     double** z, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U,
                     double** cov, int* EMconvergeN) {
    const ScoreSet set{mac_thresh, mai_thresh, n_work, U, cov};

    const tds_detail::EmFit fit = fitPrimaryNull(n, n10, n1, p, c10, y10, z);
    *EMconvergeN = fit.EMconvergeN;

    CheckedColumns cols = codeAndCheckColumns(src, K, n1, p, z, MAI_LB, set);
    if (*n_work > 0) {
        const tds_detail::RecordsView rec{n, n10, n1, c10, y10};
        const tds_detail::NullInformation null(rec, fit.view(), z, 0, p);
        null.efficient(cols.SZ, K, U, cov);
        dropNonPositiveVariance(K, cols.null_thresh, set);
    }
    release(cols, K, n1);
}

}  // namespace

namespace {

// The records and design of a null fit.
struct NullFitKey {
    int n = 0, n10 = 0, n1 = 0, p = 0;
    std::vector<int> c10;
    std::vector<double> y10, z;  // z row by row

    NullFitKey(int n_, int n10_, int n1_, int p_, const int* c10_, const double* y10_, double** z_)
        : n(n_), n10(n10_), n1(n1_), p(p_), c10(c10_, c10_ + n10_), y10(y10_, y10_ + n10_),
          z(static_cast<std::size_t>(n1_) * p_) {
        for (int i = 0; i < n1; ++i)
            for (int k = 0; k < p; ++k) z[static_cast<std::size_t>(i) * p + k] = z_[i][k];
    }

    bool holds(int n_, int n10_, int n1_, int p_, const int* c10_, const double* y10_, double** z_) const {
        if (n != n_ || n10 != n10_ || n1 != n1_ || p != p_) return false;
        if (std::memcmp(c10.data(), c10_, sizeof(int) * static_cast<std::size_t>(n10)) != 0) return false;
        if (std::memcmp(y10.data(), y10_, sizeof(double) * static_cast<std::size_t>(n10)) != 0) return false;
        for (int i = 0; i < n1; ++i)
            if (std::memcmp(z.data() + static_cast<std::size_t>(i) * p, z_[i], sizeof(double) * p) != 0) return false;
        return true;
    }
};

// The null fit of one set of records and design, and its information with
// the nuisance parameters profiled out.  Never changed once built, so the
// genes that run at the same time can read it together.
struct NullFitEntry {
    std::shared_ptr<const NullFitKey> key;
    tds_detail::EmFit fit;
    std::unique_ptr<const tds_detail::NullInformation> information;  // over key's records and fit

    tds_detail::RecordsView records() const {
        return tds_detail::RecordsView{key->n, key->n10, key->n1, key->c10.data(), key->y10.data()};
    }
};

}  // namespace

// The entry of the records and design seen last, and the records of a fit
// under way.  Both pointers change only under the lock; an entry lives as
// long as a call still uses it.
struct PrimaryNullCache {
    std::mutex lock;
    std::condition_variable changed;
    std::shared_ptr<const NullFitEntry> entry;
    std::shared_ptr<const NullFitKey> pending;
};

namespace {

// A fit under way that will not be finished (its gene stopped): the genes
// waiting for it fit for themselves.
struct PendingFit {
    PrimaryNullCache* cache;
    std::shared_ptr<const NullFitKey> key;

    void withdraw() {
        {
            const std::lock_guard<std::mutex> guard(cache->lock);
            if (cache->pending == key) cache->pending.reset();
        }
        cache->changed.notify_all();
    }
    static void release(void* self) { static_cast<PendingFit*>(self)->withdraw(); }
};

// The cached null fit for these records and design: reused when they are
// the cached ones (the EM warning is then printed again when that fit
// printed it: stopped at the cap, not converged in its last iteration),
// else fitted (printing the warning itself) and kept.  A call whose records
// are being fitted by another thread waits for that fit instead of
// repeating it.
std::shared_ptr<const NullFitEntry> useCache(PrimaryNullCache* cache, int n, int n10, int n1, int p, int* c10,
                                             double* y10, double** z) {
    std::unique_lock<std::mutex> lock(cache->lock);
    for (;;) {
        const std::shared_ptr<const NullFitEntry> kept = cache->entry;
        if (kept != nullptr && kept->key->holds(n, n10, n1, p, c10, y10, z)) {
            lock.unlock();
            if (kept->fit.warned) tds_detail::report_nonconvergence();
            return kept;
        }
        if (cache->pending == nullptr || !cache->pending->holds(n, n10, n1, p, c10, y10, z)) break;
        cache->changed.wait(lock);
    }
    PendingFit pending{cache, std::make_shared<const NullFitKey>(n, n10, n1, p, c10, y10, z)};
    cache->pending = pending.key;
    lock.unlock();

    auto fresh = std::make_shared<NullFitEntry>();
    {
        const StopRelease release(&PendingFit::release, &pending);
        fresh->key = pending.key;
        fresh->fit = fitPrimaryNull(n, n10, n1, p, c10, y10, z);
        fresh->information =
            std::make_unique<const tds_detail::NullInformation>(fresh->records(), fresh->fit.view(), z, 0, p);
    }
    std::shared_ptr<const NullFitEntry> built = std::move(fresh);
    {
        const std::lock_guard<std::mutex> guard(cache->lock);
        cache->entry = built;
        if (cache->pending == pending.key) cache->pending.reset();
    }
    cache->changed.notify_all();
    return built;
}

// primaryScoreSet on the cached null fit: the same columns, checks and drop
// protocol; only the rows of the tested columns of the information are formed.
void cachedScoreSet(PrimaryNullCache* cache, const ColumnSource& src, int K, int n, int n10, int n1, int p,
                    int* c10, double* y10, double** z, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work,
                    double* U, double** cov, int* EMconvergeN) {
    const ScoreSet set{mac_thresh, mai_thresh, n_work, U, cov};
    const std::shared_ptr<const NullFitEntry> entry = useCache(cache, n, n10, n1, p, c10, y10, z);
    *EMconvergeN = entry->fit.EMconvergeN;

    CheckedColumns cols = codeAndCheckColumns(src, K, n1, p, z, MAI_LB, set);
    if (*n_work > 0) {
        entry->information->efficient(cols.SZ, K, U, cov);
        dropNonPositiveVariance(K, cols.null_thresh, set);
    }
    release(cols, K, n1);
}

}  // namespace

void scoreTest_MLE_Prim_cached(PrimaryNullCache* cache, int n, int n10, int n1, int p, int* c10, double* y10,
                               double* g, double** z, double* T1_U, double* T1_V, double* T1, int* convergeN1) {
    const std::shared_ptr<const NullFitEntry> entry = useCache(cache, n, n10, n1, p, c10, y10, z);
    *convergeN1 = entry->fit.EMconvergeN;

    // The one-column case of the multi-score builders, burden first.
    double** GZ = tds_detail::burden_design(n1, p, g, z);
    double U_eff[1];
    double** cov = dmatrix(0, 0, 0, 0);
    entry->information->efficient(GZ, 1, U_eff, cov);
    *T1_V = cov[0][0];
    *T1_U = tds_detail::burden_score(entry->records(), entry->fit, g);
    *T1 = *T1_U / std::sqrt(*T1_V);
    free_dmatrix(cov, 0, 0, 0, 0);
    free_dmatrix(GZ, 0, n1 - 1, 0, p);
}

PrimaryNullCache* newPrimaryNullCache() { return new PrimaryNullCache; }

void freePrimaryNullCache(PrimaryNullCache* cache) { delete cache; }

void EM_prim_VTtest_fixThresh2_cached(PrimaryNullCache* cache, int MODEL, int n, int n10, int n1, int p, int N_SNP,
                                      int* c10, double* y10, double** x, double** z, int N_UNIQ, double* thresh,
                                      double* maf_hat, double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                                      int* n_work, double* U, double** cov, int* EMconvergeN) {
    cachedScoreSet(cache, thresholdColumns(MODEL, N_SNP, x, q, thresh, maf_hat), N_UNIQ, n, n10, n1, p, c10, y10, z,
                   MAI_LB, mac_thresh, mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_prim_SKAT_cached(PrimaryNullCache* cache, int MODEL, int n, int n10, int n1, int p, int N_SNP, int* c10,
                         double* y10, double** x, double** z, double* q, int MAI_LB, int* mac_thresh,
                         int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN) {
    cachedScoreSet(cache, variantColumns(MODEL, N_SNP, x, q), N_SNP, n, n10, n1, p, c10, y10, z, MAI_LB, mac_thresh,
                   mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_prim_MULTI_cached(PrimaryNullCache* cache, int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10,
                          double** x, double** z, int n_weight, double** wt, double* q, int MAI_LB, int* mac_thresh,
                          int* mai_thresh, int* n_work, double* U, double** cov, int* EMconvergeN) {
    cachedScoreSet(cache, weightedColumns(N_SNP, x, q, wt), n_weight, n, n10, n1, p, c10, y10, z, MAI_LB, mac_thresh,
                   mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_prim_VTtest_fixThresh2(int MODEL, int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10,
                               double** x, double** z, int N_UNIQ, double* thresh, double* maf_hat, double* q,
                               int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U, double** cov,
                               int* EMconvergeN) {
    primaryScoreSet(thresholdColumns(MODEL, N_SNP, x, q, thresh, maf_hat), N_UNIQ, n, n10, n1, p, c10, y10, z,
                    MAI_LB, mac_thresh, mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_prim_SKAT(int MODEL, int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10, double** x,
                  double** z, double* q, int MAI_LB, int* mac_thresh, int* mai_thresh, int* n_work, double* U,
                  double** cov, int* EMconvergeN) {
    primaryScoreSet(variantColumns(MODEL, N_SNP, x, q), N_SNP, n, n10, n1, p, c10, y10, z, MAI_LB, mac_thresh,
                    mai_thresh, n_work, U, cov, EMconvergeN);
}

void EM_prim_MULTI(int n, int n10, int n1, int p, int N_SNP, int* c10, double* y10, double** x, double** z,
                   int n_weight, double** wt, double* q, int MAI_LB, int* mac_thresh, int* mai_thresh,
                   int* n_work, double* U, double** cov, int* EMconvergeN) {
    primaryScoreSet(weightedColumns(N_SNP, x, q, wt), n_weight, n, n10, n1, p, c10, y10, z, MAI_LB, mac_thresh,
                    mai_thresh, n_work, U, cov, EMconvergeN);
}
