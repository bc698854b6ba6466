#include "driver/multi_score_tests.h"

#include <gsl/gsl_randist.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "driver/design_columns.h"
#include "driver/null_fit_cache.h"
#include "driver/output.h"
#include "driver/transforms.h"
#include "engine/least_squares.h"
#include "engine/pvalue_combination.h"
#include "engine/tds_primary_builders.h"
#include "engine/tds_secondary_builders.h"
#include "engine/vt_thresholds.h"
#include "numerics/console.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

// The maximum-statistic p-value integrates a multivariate normal of at most
// 20 components; the customized test takes at most 19 usable columns.
constexpr int kMaxIntegratedColumns = 20;
constexpr int kMaxCustomizedColumns = 19;

// The combination methods of DRENNIK_metaPval_v2 that these tests use.
constexpr int kMaxStatistic = 1;
constexpr int kVarianceComponent = 2;

enum class Family { VT, VC, Customized };

// The gene's score columns and the arrays that every builder call of the
// gene fills (K columns).
struct GeneColumns {
    Family family = Family::VT;
    int K = 0;
    int MODEL = kAdditive;          // kAdditive, kDominant or kRecessive
    double* weight_sq = nullptr;    // [K] weights of the variance component
    int* mac_thresh = nullptr;      // [K]
    int* mai_thresh = nullptr;      // [K]
    int n_work = 0;

    void allocate(int k) {
        K = k;
        weight_sq = dvector(0, K - 1);
        mac_thresh = ivector(0, K - 1);
        mai_thresh = ivector(0, K - 1);
        for (int t = 0; t < K; ++t) mac_thresh[t] = mai_thresh[t] = 0;
    }
    void release() {
        free_dvector(weight_sq, 0, K - 1);
        free_ivector(mac_thresh, 0, K - 1);
        free_ivector(mai_thresh, 0, K - 1);
        weight_sq = nullptr;
        mac_thresh = mai_thresh = nullptr;
    }
};

// Score vector and covariance of one analysis, and the covariance as a Gram
// product over the subjects when a least-squares VC builder gives it.
struct Scores {
    int K = 0;
    double* U = nullptr;
    double** cov = nullptr;
    CovarianceFactor factor;

    explicit Scores(int k) : K(k), U(dvector(0, k - 1)), cov(dmatrix(0, k - 1, 0, k - 1)) { clear(); }
    ~Scores() {
        free_dmatrix(cov, 0, K - 1, 0, K - 1);
        free_dvector(U, 0, K - 1);
    }
    Scores(const Scores&) = delete;
    Scores& operator=(const Scores&) = delete;
    void clear() {
        for (int k = 0; k < K; ++k) {
            U[k] = 0.0;
            for (int l = 0; l < K; ++l) cov[k][l] = 0.0;
        }
    }
};

// The subjects and designs of one analysis.  Primary trait: x = snp, y10 the
// trait, z1 its design.  Secondary trait: x = the reordered genotypes, y2 and
// design (z2, or zy1 for LS-C with pz = p2 + 1 columns) over the first n2.
struct Analysis {
    bool secondary = false;
    bool mle = false;
    double** x = nullptr;
    int n2 = 0;
    double* y2 = nullptr;
    double** design = nullptr;
    int pz = 0;
    int p2 = 0;
};

// Columns of the gene: VT thresholds, VC variants with their Beta(1, 25)
// weights, or the customized weight vectors.  Returns false when the gene
// has no column (no VT threshold, no weights): it then gets no row.
bool setUpColumns(const RunSettings& s, const RunData& d, GeneData& g, GeneColumns& c) {
    c.MODEL = codingModel(s);
    int K = 0;
    if (s.DO_BURDEN == kVT) {
        c.family = Family::VT;
        if (d.EXT_THRESH == 0) getThresh(d.n1, g.N_SNP, g.maf, g.snp_mac, s.MAI_LB, &g.n_thresh, g.thresh);
        K = g.n_thresh;
    } else if (s.DO_BURDEN == kVC) {
        c.family = Family::VC;
        K = g.N_SNP;
    } else {
        c.family = Family::Customized;
        K = g.n_weight;
    }
    if (K <= 0) return false;
    c.allocate(K);
    for (int t = 0; t < K; ++t) {
        if (c.family == Family::VC) {
            const double w = gsl_ran_beta_pdf(g.maf[t], 1.0, 25.0);
            c.weight_sq[t] = w * w;
        } else {
            c.weight_sq[t] = 1.0;
        }
    }
    return true;
}

// One builder call (the builder of the family, trait and method), into
// sc.U, sc.cov, c.mac_thresh, c.mai_thresh and c.n_work.
void callBuilder(const RunSettings& s, const RunData& d, GeneData& g, const Analysis& a, GeneColumns& c,
                 Scores& sc) {
    const int M = c.MODEL;
    const int K = c.K;
    const int p1 = d.pv[0];
    const int nsnp = g.N_SNP;
    int* mac = c.mac_thresh;
    int* mai = c.mai_thresh;
    int* nw = &c.n_work;
    int NCOV = 0;  // the iteration count of the TDS fits is not reported by these tests
    sc.factor.n = 0;
    if (!a.secondary && a.mle) {
        PrimaryNullCache* cache = runNullFitCache();
        switch (c.family) {
            case Family::VT:
                EM_prim_VTtest_fixThresh2_cached(cache, M, g.n, g.n10, g.n1p, p1, nsnp, g.c10, g.y10, a.x, g.z1, K,
                                                 g.thresh, g.maf, g.snp_q, s.MAI_LB, mac, mai, nw, sc.U, sc.cov,
                                                 &NCOV);
                break;
            case Family::VC:
                EM_prim_SKAT_cached(cache, M, g.n, g.n10, g.n1p, p1, nsnp, g.c10, g.y10, a.x, g.z1, g.snp_q,
                                    s.MAI_LB, mac, mai, nw, sc.U, sc.cov, &NCOV);
                break;
            case Family::Customized:
                EM_prim_MULTI_cached(cache, g.n, g.n10, g.n1p, p1, nsnp, g.c10, g.y10, a.x, g.z1, K,
                                     g.customized_wt, g.snp_q, s.MAI_LB, mac, mai, nw, sc.U, sc.cov, &NCOV);
                break;
        }
    } else if (!a.secondary) {
        switch (c.family) {
            case Family::VT:
                EM_prim_VTtest_naive_fixThresh2(M, g.n1p, p1, nsnp, g.y10, a.x, g.z1, K, g.thresh, g.maf, g.snp_q,
                                                s.MAI_LB, mac, mai, nw, sc.U, sc.cov);
                break;
            case Family::VC:
                EM_prim_SKAT_naive(M, g.n1p, p1, nsnp, g.y10, a.x, g.z1, K, g.snp_q, s.MAI_LB, mac, mai, nw, sc.U,
                                   sc.cov, &sc.factor);
                break;
            case Family::Customized:
                EM_prim_MULTI_naive(g.n1p, p1, nsnp, g.y10, a.x, g.z1, K, g.customized_wt, g.snp_q, s.MAI_LB, mac,
                                    mai, nw, sc.U, sc.cov);
                break;
        }
    } else if (a.mle) {
        switch (c.family) {
            case Family::VT:
                EM_sec_VTtest_fixThresh2_v2(M, g.n, g.n10, g.n1p, a.n2, p1, a.p2, nsnp, g.c10, g.y10, a.y2, a.x,
                                            g.z1, a.design, K, g.thresh, g.maf, g.snp_q, s.MAI_LB, mac, mai, nw,
                                            sc.U, sc.cov, &NCOV);
                break;
            case Family::VC:
                EM_sec_SKAT2_v2(M, g.n, g.n10, g.n1p, a.n2, p1, a.p2, nsnp, g.c10, g.y10, a.y2, a.x, g.z1, a.design,
                                K, g.snp_q, s.MAI_LB, mac, mai, nw, sc.U, sc.cov, &NCOV);
                break;
            case Family::Customized:
                EM_sec_MULTI(g.n, g.n10, g.n1p, a.n2, p1, a.p2, nsnp, g.c10, g.y10, a.y2, a.x, g.z1, a.design, K,
                             g.customized_wt, g.snp_q, s.MAI_LB, mac, mai, nw, sc.U, sc.cov, &NCOV);
                break;
        }
    } else {
        switch (c.family) {
            case Family::VT:
                EM_sec_VTtest_naive_fixThresh2(M, a.n2, a.pz, nsnp, g.y10, a.y2, a.x, a.design, K, g.thresh, g.maf,
                                               g.snp_q, s.MAI_LB, mac, mai, nw, sc.U, sc.cov);
                break;
            case Family::VC:
                EM_sec_SKAT_naive(M, a.n2, a.pz, nsnp, g.y10, a.y2, a.x, a.design, K, g.snp_q, s.MAI_LB, mac, mai,
                                  nw, sc.U, sc.cov, &sc.factor);
                break;
            case Family::Customized:
                EM_sec_MULTI_naive(a.n2, a.pz, nsnp, g.y10, a.y2, a.x, a.design, K, g.customized_wt, g.snp_q,
                                   s.MAI_LB, mac, mai, nw, sc.U, sc.cov);
                break;
        }
    }
}

// The analysis's record in its trait log: one line per column.
void appendLogRecord(const std::string& logName, const GeneData& g, const GeneColumns& c, const Scores& sc) {
    OutputFile log = OutputFile::append(logName);
    const char* id = g.geneID.c_str();
    switch (c.family) {
        case Family::VT: writeVTLogRecord(log, id, c.K, g.thresh, c.mai_thresh, sc.U, sc.cov); break;
        case Family::VC: {
            std::vector<const char*> ids(static_cast<std::size_t>(c.K));
            for (int t = 0; t < c.K; ++t) ids[static_cast<std::size_t>(t)] = g.snpID[static_cast<std::size_t>(t)].c_str();
            writeVCLogRecord(log, id, c.K, ids.data(), g.maf, c.mai_thresh, g.snp_avc, g.snp_het, g.snp_alt, sc.U,
                             sc.cov);
            break;
        }
        case Family::Customized: writeCustomizedLogRecord(log, id, c.K, c.mac_thresh, sc.U, sc.cov); break;
    }
    log.close();
}

const char* testLabel(Family f) {
    switch (f) {
        case Family::VT: return "VT";
        case Family::VC: return "VC";
        case Family::Customized: return "Tmax";
    }
    return "";
}

// The result block of one analysis: the combination of its usable columns
// into a statistic and a p-value (writeCombinedBlock decides the cells), or
// "Var_Null" when there is nothing to combine: no usable column, more than
// 19 for the customized test, or, for VT, more than the 20 components that
// the multivariate normal integration takes once perfectly correlated
// duplicate thresholds are left out (thresholds from the mapping file; a
// console line says so).  T and inform are reset before every combination,
// so that no value of an earlier analysis can stand in a block.
void writeResultBlock(OutputFile& out, const GeneData& g, const GeneColumns& c, Scores& sc) {
    if (c.n_work < 1) {
        writeMultiBlockNull(out);
        return;
    }
    if (c.family == Family::Customized && c.n_work > kMaxCustomizedColumns) {
        writeMultiBlockNull(out);
        return;
    }
    if (c.family == Family::VT && c.n_work > kMaxIntegratedColumns) {
        const int kept = max_statistic_components(c.K, sc.cov);
        if (kept > kMaxIntegratedColumns) {
            std::fprintf(consoleOut(),
                         "GENE %s Warning: %d usable VT thresholds exceed the limit of %d; no p-value is computed.\n",
                         g.geneID.c_str(), kept, kMaxIntegratedColumns);
            writeMultiBlockNull(out);
            return;
        }
    }
    const int method = c.family == Family::VC ? kVarianceComponent : kMaxStatistic;
    double T = std::numeric_limits<double>::quiet_NaN();
    double pvalue = kNotComputed;
    int flag = 0;
    DRENNIK_metaPval_v2(method, c.K, sc.U, sc.cov, c.weight_sq, &T, &pvalue, &flag, &sc.factor);
    writeCombinedBlock(out, g.geneID.c_str(), testLabel(c.family), method == kMaxStatistic ? T * T : T, pvalue, flag,
                       g.warn.c_str());
}

// One analysis: the builder, the trait-log record (after the block for
// LS-M), the block.
void runAnalysis(const RunSettings& s, const RunData& d, GeneData& g, const Analysis& a, GeneColumns& c, Scores& sc,
                 const std::string& logName, bool recordAfterBlock, OutputFile& out) {
    callBuilder(s, d, g, a, c, sc);
    if (!recordAfterBlock) appendLogRecord(logName, g, c, sc);
    writeResultBlock(out, g, c, sc);
    if (recordAfterBlock) appendLogRecord(logName, g, c, sc);
}

void primaryTrait(const RunSettings& s, const RunData& d, GeneData& g, GeneColumns& c, OutputFile& out) {
    for (int i = 0; i < g.n1p; ++i) {
        g.y10[i] = d.seq_prim[i];
        for (int k = 0; k < d.p; ++k) g.z[i][k] = d.covariates[i][k];
    }
    selectColumns(g.n1p, d.p, g.z, d.cov_ind[0], g.z1);
    Analysis a;
    a.mle = usesMle(s);
    a.x = g.snp;
    Scores sc(c.K);
    runAnalysis(s, d, g, a, c, sc, d.logList[0], false, out);
}

// Secondary trait t: its subjects first (each group in subject order), its
// designs, then its method blocks.  gmat (n1 by N_SNP) receives the
// reordered genotypes.
void secondaryTrait(const RunSettings& s, const RunData& d, GeneData& g, GeneColumns& c, int t, int* index_NAsec,
                    double** gmat, OutputFile& out) {
    const int n1 = g.n1p;
    const int p = d.p;
    int n2 = 0;
    for (int i = 0; i < n1; ++i) {
        index_NAsec[i] = d.sec[i][t] == kMissing ? 1 : 0;
        if (index_NAsec[i] == 0) ++n2;
    }
    const int p2 = d.pv[t + 1];
    double* y2 = dvector(0, n2 - 1);
    double** z2 = dmatrix(0, n2 - 1, 0, p2 - 1);

    int ii = 0;
    int jj = n2;
    for (int i = 0; i < n1; ++i) {
        const int pos = index_NAsec[i] == 0 ? ii++ : jj++;
        g.y10[pos] = d.seq_prim[i];
        for (int k = 0; k < p; ++k) g.z[pos][k] = d.covariates[i][k];
        for (int j = 0; j < g.N_SNP; ++j) gmat[pos][j] = g.snp[i][j];
        if (index_NAsec[i] == 0) y2[pos] = d.sec[i][t];
    }
    selectColumns(n1, p, g.z, d.cov_ind[0], g.z1);
    selectColumns(n2, p, g.z, d.cov_ind[t + 1], z2);
    transformSecondaryTrait(n2, y2, s.DO_InvNormal, s.DO_Rescale);

    Analysis a;
    a.secondary = true;
    a.mle = usesMle(s);
    a.x = gmat;
    a.n2 = n2;
    a.y2 = y2;
    a.design = z2;
    a.pz = p2;
    a.p2 = p2;
    Scores sc(c.K);
    if (!pairedLsBlocks(s)) {
        runAnalysis(s, d, g, a, c, sc, d.logList[t + 1], false, out);
    } else {
        runAnalysis(s, d, g, a, c, sc, d.logList[2 * t + 1], true, out);

        // LS-C: the primary trait as one more covariate.
        Scores sc2(c.K);
        if (constantOver(n2, g.y10)) {
            // The primary trait does not vary among the subjects of the trait
            // (say, a trait measured in controls only): the extra column is
            // collinear with the intercept, so no score column can pass the
            // checks against this design.  Nothing is fitted on the singular
            // design; the counts of the columns, which do not depend on the
            // design, stand as the LS-M builder wrote them.
            c.n_work = 0;
            appendLogRecord(d.logList[2 * t + 2], g, c, sc2);
            writeResultBlock(out, g, c, sc2);
        } else {
            double** zy1 = dmatrix(0, n2 - 1, 0, p2);
            for (int i = 0; i < n2; ++i) {
                for (int k = 0; k < p2; ++k) zy1[i][k] = z2[i][k];
                zy1[i][p2] = g.y10[i];
            }
            a.design = zy1;
            a.pz = p2 + 1;
            runAnalysis(s, d, g, a, c, sc2, d.logList[2 * t + 2], false, out);
            free_dmatrix(zy1, 0, n2 - 1, 0, p2);
        }
    }
    free_dmatrix(z2, 0, n2 - 1, 0, p2 - 1);
    free_dvector(y2, 0, n2 - 1);
}

}  // namespace

void runMultiScoreTests(const RunSettings& s, const RunData& d, GeneData& g) {
    GeneColumns c;
    if (!setUpColumns(s, d, g, c)) return;

    OutputFile out = OutputFile::append(s.outFile);
    writeGeneId(out, g.geneID.c_str());
    if (s.N_SEC == 0) {
        primaryTrait(s, d, g, c, out);
    } else {
        int* index_NAsec = ivector(0, g.n1p - 1);
        double** gmat = dmatrix(0, g.n1p - 1, 0, g.N_SNP - 1);
        for (int t = 0; t < s.N_SEC; ++t) secondaryTrait(s, d, g, c, t, index_NAsec, gmat, out);
        free_dmatrix(gmat, 0, g.n1p - 1, 0, g.N_SNP - 1);
        free_ivector(index_NAsec, 0, g.n1p - 1);
    }
    endResultRow(out);
    out.close();
    c.release();
}

