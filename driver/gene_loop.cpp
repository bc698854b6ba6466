#include "driver/gene_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/burden_tests.h"
#include "driver/gene_data.h"
#include "driver/genotype_rows.h"
#include "driver/multi_score_tests.h"
#include "driver/null_fit_cache.h"
#include "driver/weight_file.h"
#include "engine/stop.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr double kMinMappingMaf = 1e-10;

void printGeneLine(const std::string& geneID) { std::printf("\n||---- GENE %s ----||\n", geneID.c_str()); }

// Step 1 of every gene.
void resetGene(RunData& d, GeneData& g) {
    g.warn = ".";
    for (int i = 0; i < d.n1; ++i) d.index_NAscore[i] = 0;
    g.Low_MAI = g.singular_score = g.singular_covariates = 0;
}

// The pooled primary-trait records and the covariate matrices of the gene's
// fits over g.n1p subjects; the first n1p values of y10 are left to the test.
void buildRecords(const RunSettings& s, const RunData& d, GeneData& g) {
    g.n10 = g.n1p + d.n0;
    g.n = g.n1p + d.N0;
    g.y10 = dvector(0, g.n10 - 1);
    g.z = dmatrix(0, g.n1p - 1, 0, d.p - 1);
    g.z1 = dmatrix(0, g.n1p - 1, 0, d.pv[0] - 1);
    for (int i = 0; i < g.n1p; ++i) g.y10[i] = 0.0;
    if (s.DO_MLE == 1) {
        g.c10 = ivector(0, g.n10 - 1);
        for (int i = 0; i < g.n1p; ++i) g.c10[i] = 1;
        for (int k = 0; k < d.n0; ++k) {
            g.y10[g.n1p + k] = d.nonseq_prim_unique[k];
            g.c10[g.n1p + k] = d.c0[k];
        }
    }
}

void releaseRecords(const RunData& d, GeneData& g) {
    free_dvector(g.y10, 0, g.n10 - 1);
    free_dmatrix(g.z, 0, g.n1p - 1, 0, d.p - 1);
    free_dmatrix(g.z1, 0, g.n1p - 1, 0, d.pv[0] - 1);
    if (g.c10 != nullptr) free_ivector(g.c10, 0, g.n10 - 1);
    g.y10 = nullptr;
    g.z = g.z1 = nullptr;
    g.c10 = nullptr;
}

void releaseVariants(const RunData& d, GeneData& g) {
    const int m = g.N_SNP;
    free_dmatrix(g.snp, 0, d.n1 - 1, 0, m - 1);
    free_dvector(g.maf, 0, m - 1);
    free_dvector(g.snp_q, 0, m - 1);
    free_dvector(g.snp_mac, 0, m - 1);
    free_ivector(g.snp_avc, 0, m - 1);
    free_ivector(g.snp_het, 0, m - 1);
    free_ivector(g.snp_alt, 0, m - 1);
    free_dvector(g.wt, 0, m - 1);
    if (g.thresh != nullptr) free_dvector(g.thresh, 0, g.thresh_len - 1);
    if (g.customized_wt != nullptr) free_dmatrix(g.customized_wt, 0, g.n_weight - 1, 0, m - 1);
    g.snpID.clear();
    g.snp = nullptr;
    g.maf = g.snp_q = g.snp_mac = g.wt = g.thresh = nullptr;
    g.snp_avc = g.snp_het = g.snp_alt = nullptr;
    g.customized_wt = nullptr;
    g.N_SNP = g.thresh_len = g.n_thresh = g.n_weight = 0;
}

// The test of the run for a prepared gene, then the release of its records.
void runTest(const RunSettings& s, RunData& d, GeneData& g) {
    buildRecords(s, d, g);
    if (s.DO_BURDEN <= 3) runBurdenTest(s, d, g);
    else runMultiScoreTests(s, d, g);
    releaseRecords(d, g);
}

// ---------------------------------------------------------------------------
// Direct mode: every genotype row is a ready-made score.
// ---------------------------------------------------------------------------

void directMode(const RunSettings& s, RunData& d) {
    GeneData g;
    GenotypeRowReader rows(d.fi, s.scoreFile);
    for (int k = 0; k < d.N_GENE; ++k) {
        resetGene(d, g);
        // A row below the call-rate bound is passed over without a word.
        if (d.geno_AVC[k] < d.CRC_LB) continue;
        rows.read(d.geno_offset[static_cast<std::size_t>(k)], d.n1, &g.geneID, d.x_all);
        printGeneLine(g.geneID);
        g.n1p = d.n1;
        for (int i = 0; i < d.n1; ++i) {
            d.mac_all[i] = d.x_all[i] >= 1.0 ? 1 : 0;
            if (d.x_all[i] == -999.0) {
                d.mac_all[i] = 0;
                d.index_NAscore[i] = 1;
                --g.n1p;
            }
        }
        runTest(s, d, g);
        std::fflush(stdout);  // the console report keeps up with the genes
    }
}

// ---------------------------------------------------------------------------
// Test mode: a gene is a run of mapping rows with the same gene identifier.
// ---------------------------------------------------------------------------

// Variant selection of one gene over the mapping rows first..last.  Each
// mapping row that passes its own filter takes the first genotype row in
// file order with its identifier that passes the row filter; genek_index of
// that row receives the frequency (the last mapping row naming a row wins).
// Returns the selected rows in genotype-file order.
std::vector<int> selectVariants(const RunSettings& s, RunData& d, const GenotypeIndex& index, int first, int last,
                                GeneData& g) {
    std::vector<int> touched;
    for (int i = first; i <= last; ++i) {
        const double mmaf = d.maf_flag == 1 ? 0.0 : d.map_maf[i];
        if (d.maf_flag == 0 && !(mmaf >= kMinMappingMaf && mmaf <= s.MAF_UB)) continue;
        for (int row = index.first(d.map_snpID[static_cast<std::size_t>(i)]); row >= 0; row = index.next(row)) {
            if (!(d.geno_AVC[row] >= d.CRC_LB)) continue;
            if (d.EXT_THRESH == 1) {
                d.genek_index[row] = mmaf;
                d.thresh_index[row] = d.map_thresh[i];
                if (d.map_thresh[i] != 0) ++g.n_thresh;
            } else if (d.maf_flag == 1) {
                if (!(d.geno_MAC[row] >= 1.0) || d.geno_singular[row] != 0 || !(d.geno_maf[row] <= s.MAF_UB)) continue;
                d.genek_index[row] = d.geno_maf[row];
            } else {
                if (!(d.geno_MAC[row] >= 1.0) || d.geno_singular[row] != 0) continue;
                d.genek_index[row] = mmaf;
            }
            touched.push_back(row);
            break;
        }
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    std::vector<int> selected;
    for (int row : touched)
        if (d.genek_index[row] != 0.0) selected.push_back(row);
    return selected;
}

// Allocates the variant arrays of the gene and reads its selected rows.
void readVariants(const RunSettings& s, RunData& d, const std::vector<int>& selected, GeneData& g) {
    const int m = static_cast<int>(selected.size());
    const int n1 = d.n1;
    g.N_SNP = m;
    g.snpID.assign(static_cast<std::size_t>(m), std::string());
    g.snp = dmatrix(0, n1 - 1, 0, m - 1);
    g.maf = dvector(0, m - 1);
    g.snp_q = dvector(0, m - 1);
    g.snp_mac = dvector(0, m - 1);
    g.snp_avc = ivector(0, m - 1);
    g.snp_het = ivector(0, m - 1);
    g.snp_alt = ivector(0, m - 1);
    g.wt = dvector(0, m - 1);
    for (int j = 0; j < m; ++j) g.wt[j] = 0.0;
    if (s.DO_BURDEN == 4 || s.DO_BURDEN == 5) {
        g.thresh_len = d.EXT_THRESH == 1 ? g.n_thresh : m;
        if (d.EXT_THRESH == 0) g.n_thresh = 0;
        g.thresh = dvector(0, g.thresh_len - 1);
        for (int t = 0; t < g.thresh_len; ++t) g.thresh[t] = 0.0;
    }

    std::FILE* f = std::fopen(s.scoreFile.c_str(), "rb");
    if (f == nullptr) {
        std::printf("Cannot open genotype file.\n");
        kill_VENTARQUILLO();
    }
    GenotypeRowReader rows(f, s.scoreFile);
    // snp is one row-major block of n1 rows of m values: column j is read in
    // place with stride m.
    const long stride = m;
    int next_thresh = 0;
    for (int j = 0; j < m; ++j) {
        const int row = selected[static_cast<std::size_t>(j)];
        rows.read(d.geno_offset[static_cast<std::size_t>(row)], n1, &g.snpID[static_cast<std::size_t>(j)], &g.snp[0][j],
                  stride);
        g.maf[j] = d.genek_index[row];
        g.snp_q[j] = 1.0 - d.geno_maf[row];
        g.snp_mac[j] = d.geno_MAC[row];
        g.snp_avc[j] = static_cast<int>(d.geno_AVC[row]);
        g.snp_het[j] = d.geno_HET[row];
        g.snp_alt[j] = d.geno_ALT[row];
        if (d.EXT_THRESH == 1 && d.thresh_index[row] == 1 && next_thresh < g.thresh_len)
            g.thresh[next_thresh++] = g.maf[j];
    }
    std::fclose(f);

    // A variant without any called genotype enters as all 0.0.
    for (int j = 0; j < m; ++j)
        if (g.snp_avc[j] == 0)
            for (int i = 0; i < n1; ++i) g.snp[i][j] = 0.0;
}

void testMode(const RunSettings& s, RunData& d) {
    const GenotypeIndex index(d.geno_snpID);
    const int rows = static_cast<int>(d.map_NROW);
    GeneData g;
    int map_index = 0;
    for (int k = 0; k < d.N_GENE && map_index < rows; ++k) {
        resetGene(d, g);
        g.n_thresh = 0;
        g.geneID = d.map_geneID[static_cast<std::size_t>(map_index)];
        printGeneLine(g.geneID);

        // The gene's mapping rows: map_index .. last.
        int last = map_index;
        while (last + 1 < rows && std::strcmp(d.map_geneID[static_cast<std::size_t>(last + 1)],
                                              d.map_geneID[static_cast<std::size_t>(last)]) == 0)
            ++last;
        const int first = map_index;
        map_index = last + 1;

        const std::vector<int> selected = selectVariants(s, d, index, first, last, g);
        if (selected.empty()) {
            std::printf("*********** Skip ***********\n");
        } else {
            readVariants(s, d, selected, g);
            if (s.DO_BURDEN == 6) readGeneWeights(d.weights, g);
            g.n1p = d.n1;
            runTest(s, d, g);
            releaseVariants(d, g);
        }

        // Only the rows this gene touched can carry a frequency or a flag.
        for (int i = first; i <= last; ++i)
            for (int row = index.first(d.map_snpID[static_cast<std::size_t>(i)]); row >= 0; row = index.next(row)) {
                d.genek_index[row] = 0.0;
                if (d.thresh_index != nullptr) d.thresh_index[row] = 0;
            }
        std::fflush(stdout);  // the console report keeps up with the genes
    }
}

}  // namespace

void runGeneLoop(const RunSettings& s, RunData& d) {
    if (s.DO_BURDEN == 0) directMode(s, d);
    else testMode(s, d);
    releaseRunNullFitCache();
}
