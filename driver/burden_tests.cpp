#include "driver/burden_tests.h"

#include <cmath>
#include <climits>
#include <memory>
#include <vector>

#include "driver/design_columns.h"
#include "driver/null_fit_cache.h"
#include "driver/output.h"
#include "driver/transforms.h"
#include "engine/data_preparation.h"
#include "engine/least_squares.h"
#include "engine/score_columns.h"
#include "engine/single_burden_mle.h"
#include "engine/tds_em.h"
#include "numerics/gamma_and_stats.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

bool finiteStatistic(double t) { return !std::isnan(t) && !std::isinf(t); }

// Integer part of count + g, saturated so that an absurd dosage cannot
// overflow the conversion.
int addAlleles(int count, double g) {
    const double total = static_cast<double>(count) + g;
    if (!(total < static_cast<double>(INT_MAX))) return INT_MAX;
    return static_cast<int>(total);
}

enum class Coding { Additive, Dominant, Recessive };

// The burden of a gene in test mode: the additive weights g.wt, then
// g.x_all and g.mac_all for every sequenced subject.  Returns false when the
// coding is additive and the weights sum to exactly 0 (no qualifying
// variant): the gene then gets no row.
bool buildBurden(const RunSettings& s, const RunData& d, GeneData& g) {
    const int nsnp = g.N_SNP;
    const bool mb = s.DO_BURDEN == kMB;
    const double cut = s.DO_BURDEN == kT1 ? 0.01 : 0.05;
    std::vector<char> qualifies(static_cast<std::size_t>(nsnp));
    for (int j = 0; j < nsnp; ++j) qualifies[j] = mb || g.maf[j] < cut;

    for (int j = 0; j < nsnp; ++j) {
        if (mb) {
            if (g.maf[j] < s.MAF_UB) {
                const double r = d.maf_flag == 1 ? (g.snp_mac[j] + 1) / (2.0 * g.snp_avc[j] + 2) : g.maf[j];
                g.wt[j] = 1 / std::sqrt(r * (1 - r));
            } else {
                g.wt[j] = 0.0;
            }
        } else {
            g.wt[j] = qualifies[j] ? 1.0 : 0.0;
        }
    }

    Coding coding = Coding::Additive;
    if (!mb && s.DO_CMC == 1) coding = Coding::Dominant;
    else if (!mb && s.DO_REC == 1) coding = Coding::Recessive;

    if (coding == Coding::Additive) {
        double total = 0.0;
        for (int j = 0; j < nsnp; ++j) total += g.wt[j];
        if (total == 0.0) return false;
    }

    std::vector<double> missing_q;
    for (int i = 0; i < d.n1; ++i) {
        const double* row = g.snp[i];
        int mac = 0;
        for (int j = 0; j < nsnp; ++j)
            if (qualifies[j] && row[j] > 0.5) mac = addAlleles(mac, row[j]);
        g.mac_all[i] = mac;

        double x = 0.0;
        if (coding == Coding::Dominant) {
            bool carrier = false;
            double none = 1.0;  // probability of no minor allele at the missing sites
            for (int j = 0; j < nsnp; ++j) {
                if (!qualifies[j]) continue;
                if (row[j] > 0.5) carrier = true;
                else if (row[j] < 0.0) none *= g.snp_q[j] * g.snp_q[j];
            }
            x = carrier ? 1.0 : 1 - none;
        } else if (coding == Coding::Recessive) {
            double carried = 0.0;
            missing_q.clear();
            for (int j = 0; j < nsnp; ++j) {
                if (!qualifies[j]) continue;
                if (row[j] > 0.5) carried += row[j];
                else if (row[j] < kMissingBelow) missing_q.push_back(g.snp_q[j]);
            }
            if (carried >= 2.0) x = 1.0;
            else if (missing_q.empty()) x = 0.0;
            else x = getS_REC_impute(carried, static_cast<int>(missing_q.size()), missing_q.data());
        } else {
            for (int j = 0; j < nsnp; ++j) x += g.wt[j] * (row[j] < kMissingBelow ? 2 * (1 - g.snp_q[j]) : row[j]);
        }
        g.x_all[i] = x;
    }
    return true;
}

// The kept subjects (no missing score) of the gene, in subject order, with
// their primary trait, covariates, burden and minor-allele count.
struct KeptSubjects {
    int n = 0;
    int p = 0;
    std::vector<int> subject;  // original subject index
    double* seq_prim2 = nullptr;
    double** covariates2 = nullptr;
    double* score2 = nullptr;
    int* mac2 = nullptr;

    KeptSubjects(const RunData& d, const GeneData& g, int n1p) : n(n1p), p(d.p) {
        seq_prim2 = dvector(0, n - 1);
        covariates2 = dmatrix(0, n - 1, 0, p - 1);
        score2 = dvector(0, n - 1);
        mac2 = ivector(0, n - 1);
        subject.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < d.n1; ++i) {
            if (g.index_NAscore[i] != 0) continue;
            const int k = static_cast<int>(subject.size());
            if (k >= n) break;
            subject.push_back(i);
            seq_prim2[k] = d.seq_prim[i];
            for (int c = 0; c < p; ++c) covariates2[k][c] = d.covariates[i][c];
            score2[k] = g.x_all[i];
            mac2[k] = g.mac_all[i];
        }
    }
    ~KeptSubjects() {
        free_dvector(seq_prim2, 0, n - 1);
        free_dmatrix(covariates2, 0, n - 1, 0, p - 1);
        free_dvector(score2, 0, n - 1);
        free_ivector(mac2, 0, n - 1);
    }
    KeptSubjects(const KeptSubjects&) = delete;
    KeptSubjects& operator=(const KeptSubjects&) = delete;
};

// The tokens of the check, in their order, each when its flag is set.
bool appendCheckTokens(GeneData& g) {
    if (g.Low_MAI != 0) g.warn += "Low_MAC,";
    if (g.singular_score != 0) g.warn += "Singular_score,";
    if (g.singular_covariates != 0) g.warn += "Singular_covariates,";
    return g.Low_MAI != 0 || g.singular_score != 0 || g.singular_covariates != 0;
}

// Results of one method block.
struct BlockResult {
    double U = 0.0, V = 0.0, T = 0.0;
    double beta_est = 0.0, beta_se = 0.0;
    double pvalue = kNotComputed;
    int NCOV = 0;
};

// Least-squares score test then fit of y on (x, design) over N subjects and
// D columns; the p-value and the scaling by the residual variance when the
// statistic is finite.
void leastSquaresBlock(int N, int D, double* y, double* x, double** design, BlockResult& r) {
    double errVar = 0.0;
    scoreLinear_UV(N, D, y, x, design, &r.U, &r.V, &r.T, &errVar);
    estLinear(N, D, y, x, design, &r.beta_est, &r.beta_se);
    if (finiteStatistic(r.T)) {
        r.pvalue = chiSquare1Upper(r.T * r.T);
        r.U = r.U / errVar;
        r.V = r.V / (errVar * errVar);
    }
}

// The block in the result row and the end of the log record.
void writeBlock(OutputFile& out, OutputFile& log, bool mle, const BlockResult& r, GeneData& g) {
    if (mle && emReachedCap(r.NCOV)) g.warn += "Non-convergence,";
    if (r.pvalue == kNotComputed) {
        g.warn += "Undefined_V,";
        writeBurdenBlockUndefined(out, r.beta_est, r.beta_se, g.warn.c_str());
        writeBurdenLogUndefined(log);
    } else {
        writeBurdenBlock(out, r.U * r.U / r.V, r.pvalue, r.beta_est, r.beta_se, g.warn.c_str());
        writeBurdenLogScore(log, r.U, r.V);
    }
}

// A burden in the span of the block's design has no estimable effect (the
// fit's design is singular, by least squares or in the EM's M-step, and
// anything it returns is rounding noise): the block reads NA with the
// "Singular_covariates," token and leaves no log record, as a burden that
// fails the check does.  Likewise, with y, a trait with no residual
// variation on the block's subjects (a linear function of the design there,
// as can happen to the subjects of one genotype row in direct mode): the
// variance of the score is undefined, and the block reads NA with
// "Undefined_V,".
bool singularBlock(const DesignFactor& design, const double* x, OutputFile& out, GeneData& g,
                   const double* y = nullptr) {
    if (burdenInDesignSpan(design, x)) {
        g.warn += "Singular_covariates,";
    } else if (y != nullptr && traitExplainedByDesign(design, y)) {
        g.warn += "Undefined_V,";
    } else {
        return false;
    }
    writeBurdenNABlock(out, g.warn.c_str());
    return true;
}

bool singularBlock(int n, const double* x, double** design, int D, OutputFile& out, GeneData& g,
                   const double* y = nullptr) {
    return singularBlock(*factoredDesign(n, D, design), x, out, g, y);
}

// The gene's primary-trait data on the kept subjects: y10, z (every
// covariate) and z1 (the primary trait's design).
void primaryData(const RunData& d, GeneData& g, const KeptSubjects& kept) {
    for (int i = 0; i < g.n1p; ++i) {
        g.y10[i] = kept.seq_prim2[i];
        for (int c = 0; c < d.p; ++c) g.z[i][c] = kept.covariates2[i][c];
    }
    selectColumns(g.n1p, d.p, g.z, d.cov_ind[0], g.z1);
}

// The flags of the covariates that every secondary trait selects.
std::vector<double> commonSecondaryFlags(const RunSettings& s, const RunData& d, int* columns) {
    std::vector<double> flags(static_cast<std::size_t>(d.p > 1 ? d.p - 1 : 1), 0.0);
    *columns = 1;
    for (int k = 1; k < d.p; ++k) {
        bool every = true;
        for (int t = 1; t <= s.N_SEC; ++t) every = every && d.cov_ind[t][k - 1] > 0.5;
        flags[static_cast<std::size_t>(k) - 1] = every ? 1.0 : 0.0;
        if (every) ++*columns;
    }
    return flags;
}

void primaryTrait(const RunSettings& s, const RunData& d, GeneData& g, const KeptSubjects& kept,
                  const DesignFactor& design, int MAI0, OutputFile& out) {
    const int n1p = g.n1p;
    const int p1 = d.pv[0];
    double* x = dvector(0, n1p - 1);
    for (int i = 0; i < n1p; ++i) x[i] = kept.score2[i];
    // Under MLE the trait of the sequenced subjects is fitted with the
    // non-sequenced values, so only the design is checked.
    if (singularBlock(design, x, out, g, usesMle(s) ? nullptr : g.y10)) {
        free_dvector(x, 0, n1p - 1);
        return;
    }
    OutputFile log = OutputFile::append(d.logList[0]);
    writeGeneId(log, g.geneID.c_str());

    BlockResult r;
    if (usesMle(s)) {
        double* prim_est = dvector(0, p1 + 1);
        double** prim_cov = dmatrix(0, p1 + 1, 0, p1 + 1);
        EM_quan2_time(g.n, g.n10, n1p, p1, g.c10, g.y10, x, g.z1, prim_est, prim_cov, &r.NCOV);
        r.beta_est = prim_est[0];
        r.beta_se = std::sqrt(prim_cov[0][0]);
        free_dmatrix(prim_cov, 0, p1 + 1, 0, p1 + 1);
        free_dvector(prim_est, 0, p1 + 1);
        scoreTest_MLE_Prim_cached(runNullFitCache(), g.n, g.n10, n1p, p1, g.c10, g.y10, x, g.z1, &r.U, &r.V, &r.T,
                                  &r.NCOV);
        if (finiteStatistic(r.T)) r.pvalue = chiSquare1Upper(r.T * r.T);
    } else {
        leastSquaresBlock(n1p, p1, g.y10, x, g.z1, r);
    }
    writeBurdenLogCount(log, MAI0);
    writeBlock(out, log, usesMle(s), r, g);
    log.close();
    free_dvector(x, 0, n1p - 1);
}

// One secondary trait t: the subjects that have it first, its check, then
// its method blocks (MLE; LS; or LS-M and LS-C).
void secondaryTrait(const RunSettings& s, const RunData& d, GeneData& g, const KeptSubjects& kept, int MAI0,
                    int common_columns, int t, double* x, int* mac, OutputFile& out) {
    const int n1p = g.n1p;
    const int p = d.p;
    const bool pair = pairedLsBlocks(s);

    // Subjects with the trait first, then those without, each in subject order.
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(n1p));
    for (int k = 0; k < n1p; ++k)
        if (d.sec[kept.subject[k]][t] != kMissing) order.push_back(k);
    const int n2 = static_cast<int>(order.size());
    for (int k = 0; k < n1p; ++k)
        if (d.sec[kept.subject[k]][t] == kMissing) order.push_back(k);

    double* y2 = dvector(0, n2 - 1);
    for (int pos = 0; pos < n1p; ++pos) {
        const int k = order[pos];
        g.y10[pos] = kept.seq_prim2[k];
        x[pos] = kept.score2[k];
        mac[pos] = kept.mac2[k];
        for (int c = 0; c < p; ++c) g.z[pos][c] = kept.covariates2[k][c];
        if (pos < n2) y2[pos] = d.sec[kept.subject[k]][t];
    }

    // The trait's own design: the intercept and its selected covariates on
    // its subjects.  Its check repeats the gene's unless the subjects or the
    // covariates differ from those of the gene's check.
    const int p1 = d.pv[0];
    const int p2 = d.pv[t + 1];
    double** z2 = dmatrix(0, lastIndex(n2), 0, p2 - 1);
    selectColumns(n2, p, g.z, d.cov_ind[t + 1], z2);
    const std::shared_ptr<const DesignFactor> design2 = factoredDesign(n2, p2, z2);
    int MAI = MAI0;
    if (n2 < n1p || p2 > common_columns) {
        int MAC = 0;
        checkWarning2(s.DO_REC, *design2, s.MAI_LB, mac, x, &MAC, &MAI, &g.Low_MAI, &g.singular_score,
                      &g.singular_covariates);
        if (appendCheckTokens(g)) {
            if (pair) writeBurdenNAPair(out, g.warn.c_str());
            else writeBurdenNABlock(out, g.warn.c_str());
            free_dmatrix(z2, 0, lastIndex(n2), 0, p2 - 1);
            free_dvector(y2, 0, n2 - 1);
            return;
        }
    }

    transformSecondaryTrait(n2, y2, s.DO_InvNormal, s.DO_Rescale);
    selectColumns(n1p, p, g.z, d.cov_ind[0], g.z1);

    if (usesMle(s)) {
        // The primary trait's fit on the burden and its covariates over all
        // the gene's subjects, then the secondary trait's on the primary
        // residual, the burden and its covariates: a burden in the span of
        // either design, or a secondary trait without residual variation
        // (no more subjects than the p2 + 1 columns of its null fit, or a
        // linear function of its covariates), leaves nothing to test.
        const char* token = nullptr;
        if (burdenInDesignSpan(*factoredDesign(n1p, p1, g.z1), x) || burdenInDesignSpan(*design2, x))
            token = "Singular_covariates,";
        else if (n2 <= p2 + 1 || traitExplainedByDesign(*design2, y2))
            token = "Undefined_V,";
        if (token != nullptr) {
            g.warn += token;
            writeBurdenNABlock(out, g.warn.c_str());
            free_dmatrix(z2, 0, lastIndex(n2), 0, p2 - 1);
            free_dvector(y2, 0, n2 - 1);
            return;
        }
        OutputFile log = OutputFile::append(d.logList[t + 1]);
        writeBurdenLogHead(log, g.geneID.c_str(), MAI);
        BlockResult r;
        MLE_Sec_v2(g.n, g.n10, n1p, n2, p1, p2, g.c10, g.y10, x, g.z1, y2, x, z2, &r.U, &r.V, &r.T, &r.NCOV,
                   &r.beta_est, &r.beta_se);
        if (finiteStatistic(r.T)) r.pvalue = chiSquare1Upper(r.T * r.T);
        writeBlock(out, log, true, r, g);
        log.close();
    } else {
        // LS (random design) or LS-M: the secondary covariates alone.
        if (!singularBlock(*design2, x, out, g, y2)) {
            OutputFile log = OutputFile::append(d.logList[pair ? 2 * t + 1 : t + 1]);
            writeBurdenLogHead(log, g.geneID.c_str(), MAI);
            BlockResult r;
            leastSquaresBlock(n2, p2, y2, x, z2, r);
            writeBlock(out, log, false, r, g);
            log.close();
        }

        if (pair && constantOver(n2, g.y10)) {
            // LS-C with a primary trait that is the same for every subject of
            // the trait (a secondary trait measured in controls only, say):
            // the extra column repeats the intercept, the design is singular
            // and there is nothing to fit; the block reads NA, with no record.
            g.warn += "Singular_covariates,";
            writeBurdenNABlock(out, g.warn.c_str());
        } else if (pair) {
            // LS-C: the primary trait as one more covariate.
            double** zy1 = dmatrix(0, n2 - 1, 0, p2);
            for (int i = 0; i < n2; ++i) {
                for (int c = 0; c < p2; ++c) zy1[i][c] = z2[i][c];
                zy1[i][p2] = g.y10[i];
            }
            if (!singularBlock(n2, x, zy1, p2 + 1, out, g, y2)) {
                OutputFile logC = OutputFile::append(d.logList[2 * t + 2]);
                writeBurdenLogHead(logC, g.geneID.c_str(), MAI);
                BlockResult rc;
                leastSquaresBlock(n2, p2 + 1, y2, x, zy1, rc);
                writeBlock(out, logC, false, rc, g);
                logC.close();
            }
            free_dmatrix(zy1, 0, n2 - 1, 0, p2);
        }
    }
    free_dmatrix(z2, 0, lastIndex(n2), 0, p2 - 1);
    free_dvector(y2, 0, n2 - 1);
}

}  // namespace

void runBurdenTest(const RunSettings& s, const RunData& d, GeneData& g) {
    if (usesMapping(s) && !buildBurden(s, d, g)) return;

    OutputFile out = OutputFile::append(s.outFile);
    writeGeneId(out, g.geneID.c_str());

    const KeptSubjects kept(d, g, g.n1p);
    // The check of the burden against the design that every block of the
    // gene fits it with, on the kept subjects: the primary trait's design;
    // with secondary traits the intercept and the covariates that every one
    // of them selects, and under MLE the primary trait's design as well,
    // whose fit is part of every secondary trait's model.  Each secondary
    // trait's own design is checked with the trait.
    int MAC0 = 0, MAI0 = 0;
    int common_columns = 0;
    std::shared_ptr<const DesignFactor> design;
    if (s.N_SEC == 0) {
        primaryData(d, g, kept);
        design = factoredDesign(g.n1p, d.pv[0], g.z1);
    } else {
        const std::vector<double> flags = commonSecondaryFlags(s, d, &common_columns);
        selectColumns(g.n1p, d.p, kept.covariates2, flags.data(), g.z);
        design = factoredDesign(g.n1p, common_columns, g.z);
    }
    checkWarning2(s.DO_REC, *design, s.MAI_LB, kept.mac2, kept.score2, &MAC0, &MAI0, &g.Low_MAI, &g.singular_score,
                  &g.singular_covariates);
    if (s.N_SEC > 0 && usesMle(s)) {
        selectColumns(g.n1p, d.p, kept.covariates2, d.cov_ind[0], g.z1);
        int MAC = 0, MAI = 0, low = 0, constant = 0, singular = 0;
        checkWarning2(s.DO_REC, *factoredDesign(g.n1p, d.pv[0], g.z1), s.MAI_LB, kept.mac2, kept.score2, &MAC, &MAI,
                      &low, &constant, &singular);
        if (singular != 0) g.singular_covariates = 1;
    }
    if (appendCheckTokens(g)) {
        if (s.N_SEC == 0) {
            writeBurdenNAPrimary(out, g.warn.c_str());
        } else {
            const bool pair = pairedLsBlocks(s);
            for (int t = 0; t < s.N_SEC; ++t) {
                if (pair) writeBurdenNAPair(out, g.warn.c_str());
                else writeBurdenNABlock(out, g.warn.c_str());
            }
            endResultRow(out);
        }
        out.close();
        return;
    }

    if (s.N_SEC == 0) {
        primaryTrait(s, d, g, kept, *design, MAI0, out);
    } else {
        double* x = dvector(0, g.n1p - 1);
        int* mac = ivector(0, g.n1p - 1);
        for (int t = 0; t < s.N_SEC; ++t) secondaryTrait(s, d, g, kept, MAI0, common_columns, t, x, mac, out);
        free_dvector(x, 0, g.n1p - 1);
        free_ivector(mac, 0, g.n1p - 1);
    }
    endResultRow(out);
    out.close();
}
