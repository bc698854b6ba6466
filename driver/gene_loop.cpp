#include "driver/gene_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/burden_tests.h"
#include "driver/gene_data.h"
#include "driver/genotype_rows.h"
#include "driver/multi_score_tests.h"
#include "driver/null_fit_cache.h"
#include "driver/ordered_genes.h"
#include "driver/weight_file.h"
#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr double kMinMappingMaf = 1e-10;

void printGeneLine(const std::string& geneID) {
    std::fprintf(consoleOut(), "\n||---- GENE %s ----||\n", geneID.c_str());
}

// What one thread needs besides the gene's own data: the per-row marks of
// the variant selection (test mode) and a reader of the genotype file
// (direct mode).
struct Workspace {
    std::vector<double> genek_index;  // [genotype rows] frequency the row carries in the gene, 0.0 = not in it
    std::vector<int> thresh_index;    // [genotype rows] VT threshold flag (four-column mapping file)
    std::FILE* geno = nullptr;        // direct mode: the genotype file
    bool own_geno = false;            // geno was opened for this workspace
    std::unique_ptr<GenotypeRowReader> rows;

    Workspace(const RunData& d, std::FILE* shared_geno) : geno(shared_geno) {
        if (!d.geno_snpID.empty()) genek_index.assign(d.geno_snpID.size(), 0.0);
        if (d.EXT_THRESH == 1) thresh_index.assign(d.geno_snpID.size(), 0);
    }
    ~Workspace() {
        rows.reset();
        if (own_geno && geno != nullptr) std::fclose(geno);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // The direct-mode reader, on this workspace's own handle of the file.
    GenotypeRowReader& directRows(const RunSettings& s) {
        if (rows == nullptr) {
            if (geno == nullptr) {
                geno = std::fopen(s.scoreFile.c_str(), "rb");
                if (geno == nullptr) {
                    std::fprintf(consoleOut(), "Cannot open genotype file.\n");
                    kill_VENTARQUILLO();
                }
                own_geno = true;
            }
            rows = std::make_unique<GenotypeRowReader>(geno, s.scoreFile);
        }
        return *rows;
    }
};

// Clears what the previous gene left: warnings ("." when none), scores,
// minor-allele counts and the check flags.
void resetGene(const RunData& d, GeneData& g) {
    g.warn = ".";
    g.index_NAscore.assign(static_cast<std::size_t>(d.n1), 0);
    g.x_all.assign(static_cast<std::size_t>(d.n1), 0.0);
    g.mac_all.assign(static_cast<std::size_t>(d.n1), 0);
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
    if (usesMle(s)) {
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
void runTest(const RunSettings& s, const RunData& d, GeneData& g) {
    buildRecords(s, d, g);
    if (!isMultiScore(s)) runBurdenTest(s, d, g);
    else runMultiScoreTests(s, d, g);
    releaseRecords(d, g);
}

// ---------------------------------------------------------------------------
// Direct mode: every genotype row is a ready-made score.
// ---------------------------------------------------------------------------

void directGene(const RunSettings& s, const RunData& d, Workspace& ws, int k) {
    // A row below the call-rate bound is passed over without a word.
    if (d.geno_AVC[k] < d.CRC_LB) return;
    GeneData g;
    resetGene(d, g);
    ws.directRows(s).read(d.geno_offset[static_cast<std::size_t>(k)], d.n1, &g.geneID, g.x_all.data());
    printGeneLine(g.geneID);
    g.n1p = d.n1;
    for (int i = 0; i < d.n1; ++i) {
        g.mac_all[i] = g.x_all[i] >= 1.0 ? 1 : 0;
        if (g.x_all[i] == kMissing) {
            g.mac_all[i] = 0;
            g.index_NAscore[i] = 1;
            --g.n1p;
        }
    }
    runTest(s, d, g);
}

// ---------------------------------------------------------------------------
// Test mode: a gene is a run of mapping rows with the same gene identifier.
// ---------------------------------------------------------------------------

// The mapping rows first..last of one gene.
struct GeneRows {
    int first;
    int last;
};

// The genes of the sorted mapping file, in order.
std::vector<GeneRows> mappingGenes(const RunData& d) {
    std::vector<GeneRows> genes;
    const int rows = static_cast<int>(d.map_NROW);
    int map_index = 0;
    for (int k = 0; k < d.N_GENE && map_index < rows; ++k) {
        int last = map_index;
        while (last + 1 < rows && std::strcmp(d.map_geneID[static_cast<std::size_t>(last + 1)],
                                              d.map_geneID[static_cast<std::size_t>(last)]) == 0)
            ++last;
        genes.push_back(GeneRows{map_index, last});
        map_index = last + 1;
    }
    return genes;
}

// Variant selection of one gene over the mapping rows first..last.  Each
// mapping row that passes its own filter takes the first genotype row in
// file order with its identifier that passes the row filter; genek_index of
// that row receives the frequency (the last mapping row naming a row wins).
// Returns the selected rows in genotype-file order.
std::vector<int> selectVariants(const RunSettings& s, const RunData& d, const GenotypeIndex& index, int first,
                                int last, Workspace& ws, GeneData& g) {
    std::vector<int> touched;
    for (int i = first; i <= last; ++i) {
        const double mmaf = d.maf_flag == 1 ? 0.0 : d.map_maf[i];
        if (d.maf_flag == 0 && !(mmaf >= kMinMappingMaf && mmaf <= s.MAF_UB)) continue;
        for (int row = index.first(d.map_snpID[static_cast<std::size_t>(i)]); row >= 0; row = index.next(row)) {
            if (!(d.geno_AVC[row] >= d.CRC_LB)) continue;
            if (d.EXT_THRESH == 1) {
                ws.genek_index[row] = mmaf;
                ws.thresh_index[row] = d.map_thresh[i];
                if (d.map_thresh[i] != 0) ++g.n_thresh;
            } else if (d.maf_flag == 1) {
                if (!(d.geno_MAC[row] >= 1.0) || d.geno_singular[row] != 0 || !(d.geno_maf[row] <= s.MAF_UB)) continue;
                ws.genek_index[row] = d.geno_maf[row];
            } else {
                if (!(d.geno_MAC[row] >= 1.0) || d.geno_singular[row] != 0) continue;
                ws.genek_index[row] = mmaf;
            }
            touched.push_back(row);
            break;
        }
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    std::vector<int> selected;
    for (int row : touched)
        if (ws.genek_index[row] != 0.0) selected.push_back(row);
    return selected;
}

// Allocates the variant arrays of the gene and reads its selected rows.
void readVariants(const RunSettings& s, const RunData& d, const std::vector<int>& selected, const Workspace& ws,
                  GeneData& g) {
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
    if (s.DO_BURDEN == kVT || s.DO_BURDEN == kVC) {
        g.thresh_len = d.EXT_THRESH == 1 ? g.n_thresh : m;
        if (d.EXT_THRESH == 0) g.n_thresh = 0;
        g.thresh = dvector(0, g.thresh_len - 1);
        for (int t = 0; t < g.thresh_len; ++t) g.thresh[t] = 0.0;
    }

    std::FILE* f = std::fopen(s.scoreFile.c_str(), "rb");
    if (f == nullptr) {
        std::fprintf(consoleOut(), "Cannot open genotype file.\n");
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
        g.maf[j] = ws.genek_index[row];
        g.snp_q[j] = 1.0 - d.geno_maf[row];
        g.snp_mac[j] = d.geno_MAC[row];
        g.snp_avc[j] = static_cast<int>(d.geno_AVC[row]);
        g.snp_het[j] = d.geno_HET[row];
        g.snp_alt[j] = d.geno_ALT[row];
        if (d.EXT_THRESH == 1 && ws.thresh_index[row] == 1 && next_thresh < g.thresh_len)
            g.thresh[next_thresh++] = g.maf[j];
    }
    std::fclose(f);

    // A variant without any called genotype enters as all 0.0.
    for (int j = 0; j < m; ++j)
        if (g.snp_avc[j] == 0)
            for (int i = 0; i < n1; ++i) g.snp[i][j] = 0.0;
}

void mappingGene(const RunSettings& s, const RunData& d, const GenotypeIndex& index, const GeneRows& rows,
                 Workspace& ws) {
    GeneData g;
    resetGene(d, g);
    g.n_thresh = 0;
    g.geneID = d.map_geneID[static_cast<std::size_t>(rows.first)];
    printGeneLine(g.geneID);

    const std::vector<int> selected = selectVariants(s, d, index, rows.first, rows.last, ws, g);
    if (selected.empty()) {
        std::fprintf(consoleOut(), "*********** Skip ***********\n");
    } else {
        readVariants(s, d, selected, ws, g);
        if (s.DO_BURDEN == kCustomized) readGeneWeights(d.weights, g);
        g.n1p = d.n1;
        runTest(s, d, g);
        releaseVariants(d, g);
    }

    // Only the rows this gene touched can carry a frequency or a flag.
    for (int i = rows.first; i <= rows.last; ++i)
        for (int row = index.first(d.map_snpID[static_cast<std::size_t>(i)]); row >= 0; row = index.next(row)) {
            ws.genek_index[row] = 0.0;
            if (!ws.thresh_index.empty()) ws.thresh_index[row] = 0;
        }
}

}  // namespace

// ---------------------------------------------------------------------------
// The genes of a run, on one thread or on several.
// ---------------------------------------------------------------------------

void runGeneLoop(const RunSettings& s, RunData& d) {
    prepareRunNullFitCache();
    std::unique_ptr<GenotypeIndex> index;
    std::vector<GeneRows> genes;
    if (usesMapping(s)) {
        index = std::make_unique<GenotypeIndex>(d.geno_snpID);
        genes = mappingGenes(d);
    }
    const int count = !usesMapping(s) ? d.N_GENE : static_cast<int>(genes.size());
    const int threads = std::max(1, std::min(geneThreads(), count));
    // One workspace per thread; on one thread it reads the genotype file
    // that start-up opened for direct mode.
    std::vector<std::unique_ptr<Workspace>> workspaces;
    for (int w = 0; w < threads; ++w)
        workspaces.push_back(std::make_unique<Workspace>(d, threads == 1 ? d.fi : nullptr));
    runGenesInOrder(count, threads, [&](int worker, int k) {
        Workspace& ws = *workspaces[static_cast<std::size_t>(worker)];
        if (!usesMapping(s)) directGene(s, d, ws, k);
        else mappingGene(s, d, *index, genes[static_cast<std::size_t>(k)], ws);
    });
    releaseRunNullFitCache();
}
