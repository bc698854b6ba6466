#include "driver/output.h"

#include <cmath>

#include "driver/gene_output.h"
#include "engine/stop.h"
#include "numerics/console.h"

namespace {

// Longest trait-log name held.
constexpr std::size_t kMaxLogName = 1023;

[[noreturn]] void stopCannotCreate() {
    std::fprintf(consoleOut(), "Cannot create output file.\n");
    kill_VENTARQUILLO();
}

std::FILE* openForWrite(const std::string& name) {
    std::FILE* f = std::fopen(name.c_str(), "w");
    if (f == nullptr) stopCannotCreate();
    return f;
}

// True for LS with secondary traits under TDS or CC: two blocks per trait.
bool twoBlocksPerTrait(const RunSettings& s) { return s.N_SEC > 0 && s.DO_MLE == 0 && s.TYPE_STUDY != 3; }

void writeSingleBurdenHeader(std::FILE* f, const RunSettings& s, const RunData& d) {
    if (s.N_SEC == 0) {
        std::fprintf(f, "\t------\t------\t%s_%s\t------\t------\n", d.traitHeader[0].c_str(), s.DO_MLE == 1 ? "MLE" : "LS");
        std::fprintf(f, "ID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n");
        return;
    }
    const bool pair = twoBlocksPerTrait(s);
    const char* method = s.DO_MLE == 1 ? "MLE" : "LS";
    for (int t = 1; t <= s.N_SEC; ++t) {
        const char* name = d.traitHeader[t].c_str();
        if (pair)
            std::fprintf(f, "\t------\t------\t%s_LS-M\t------\t------\t------\t------\t%s_LS-C\t------\t------", name, name);
        else
            std::fprintf(f, "\t------\t------\t%s_%s\t------\t------", name, method);
    }
    std::fprintf(f, "\nID");
    for (int t = 1; t <= s.N_SEC; ++t) {
        std::fprintf(f, "\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn");
        if (pair) std::fprintf(f, "\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn");
    }
    std::fprintf(f, "\n");
}

void writeMultiScoreHeader(std::FILE* f, const RunSettings& s, const RunData& d) {
    if (s.N_SEC == 0) {
        std::fprintf(f, "\t------\t%s_%s\t------\n", d.traitHeader[0].c_str(), s.DO_MLE == 1 ? "MLE" : "LS");
        std::fprintf(f, "ID\tStatistic\tP-value\tWarn\n");
        return;
    }
    const bool pair = twoBlocksPerTrait(s);
    const char* method = s.DO_MLE == 1 ? "MLE" : "LS";
    for (int t = 1; t <= s.N_SEC; ++t) {
        const char* name = d.traitHeader[t].c_str();
        if (pair) std::fprintf(f, "\t------\t%s_LS-M\t------\t------\t%s_LS-C\t------", name, name);
        else std::fprintf(f, "\t------\t%s_%s\t------", name, method);
    }
    std::fprintf(f, "\nID");
    for (int t = 1; t <= s.N_SEC; ++t) {
        std::fprintf(f, "\tStatistic\tP-value\tWarn");
        if (pair) std::fprintf(f, "\tStatistic\tP-value\tWarn");
    }
    std::fprintf(f, "\n");
}

void createTraitLog(const std::string& name, int n1) {
    if (name.size() > kMaxLogName) {
        std::printf("fail\nError: the trait log name '%s' is longer than %zu characters; choose a shorter -msglog "
                    "prefix or trait name.\n",
                    name.c_str(), kMaxLogName);
        kill_VENTARQUILLO();
    }
    std::FILE* f = openForWrite(name);
    std::fprintf(f, "#Samples = %d\n", n1);
    std::fclose(f);
}

// Row t of cov as its lower triangle, then the line break.
void writeLowerTriangleRow(std::FILE* f, int K, int t, double** cov) {
    for (int u = 0; u < K; ++u) {
        if (u <= t) std::fprintf(f, "\t%.9E", cov[t][u]);
        else std::fprintf(f, "\t0");
    }
    std::fprintf(f, "\n");
}

}  // namespace

void writeResultHeader(const RunSettings& s, const RunData& d) {
    std::FILE* f = openForWrite(s.outFile);
    if (s.DO_BURDEN <= 3) writeSingleBurdenHeader(f, s, d);
    else writeMultiScoreHeader(f, s, d);
    std::fclose(f);
}

void createTraitLogs(const RunSettings& s, RunData& d) {
    if (s.N_SEC == 0) {
        d.logList[0] = s.logFile + "_" + d.traitHeader[0] + "_" + (s.DO_MLE == 1 ? "MLE" : "LS");
        createTraitLog(d.logList[0], d.n1);
        return;
    }
    for (int t = 0; t < s.N_SEC; ++t) {
        const std::string stem = s.logFile + "_" + d.traitHeader[t + 1];
        if (s.DO_MLE == 1 || s.TYPE_STUDY == 3) {
            d.logList[t + 1] = stem + (s.DO_MLE == 1 ? "_MLE" : "_LS");
            createTraitLog(d.logList[t + 1], d.n1);
        } else {
            d.logList[2 * t + 1] = stem + "_LS-M";
            createTraitLog(d.logList[2 * t + 1], d.n1);
            d.logList[2 * t + 2] = stem + "_LS-C";
            createTraitLog(d.logList[2 * t + 2], d.n1);
        }
    }
}

std::FILE* openForAppend(const std::string& name) {
    // A gene analysed on a worker thread collects its files in memory.
    if (GeneOutput* gene = GeneOutput::current()) return gene->openFile(name);
    std::FILE* f = std::fopen(name.c_str(), "a");
    if (f == nullptr) stopCannotCreate();
    return f;
}

void closeOutput(std::FILE* f) {
    if (GeneOutput* gene = GeneOutput::current(); gene != nullptr && gene->closeFile(f)) return;
    std::fclose(f);
}

void writeGeneId(std::FILE* f, const char* geneID) { std::fprintf(f, "%s", geneID); }

void endResultRow(std::FILE* f) { std::fprintf(f, "\n"); }

void writeBurdenBlock(std::FILE* f, double statistic, double pvalue, double beta_est, double beta_se,
                      const char* warn) {
    std::fprintf(f, "\t%.9E\t%.4E\t%.4E\t%.4E\t%s", statistic, pvalue, beta_est, beta_se, warn);
}

void writeBurdenBlockUndefined(std::FILE* f, double beta_est, double beta_se, const char* warn) {
    std::fprintf(f, "\tNA\tNA\t%.4E\t%.4E\t%s", beta_est, beta_se, warn);
}

void writeBurdenNAPrimary(std::FILE* f, const char* warn) { std::fprintf(f, "\tNA\tNA\tNA\tNA\t%s\n", warn); }

void writeBurdenNABlock(std::FILE* f, const char* warn) { std::fprintf(f, "\tNA\tNA\tNA\tNA\t%s", warn); }

void writeBurdenNAPair(std::FILE* f, const char* warn) {
    std::fprintf(f, "\tNA\tNA\tNA\tNA\t%s\tNA\tNA\tNA\tNA\t%s", warn, warn);
}

void writeMultiBlock(std::FILE* f, double statistic, double pvalue, const char* warn) {
    std::fprintf(f, "\t%.9E\t%.4E\t%s", statistic, pvalue, warn);
}

void writeMultiBlockFlagged(std::FILE* f, double statistic, double pvalue) {
    std::fprintf(f, "\t%.9E\t%.4E\tPvalue_Fail", statistic, pvalue);
}

void writeMultiBlockNull(std::FILE* f) { std::fprintf(f, "\tNA\tNA\tVar_Null"); }

void writeMultiBlockNoPvalue(std::FILE* f, double statistic) {
    if (std::isfinite(statistic)) std::fprintf(f, "\t%.9E\tNA\tPvalue_Fail", statistic);
    else std::fprintf(f, "\tNA\tNA\tPvalue_Fail");
}

void writeCombinedBlock(std::FILE* f, const char* geneID, const char* label, double statistic, double pvalue,
                        int inform, const char* warn) {
    const bool nothingCombined = pvalue == -999.0;
    if (nothingCombined && inform <= 0) {
        writeMultiBlockNull(f);
        return;
    }
    const bool noProbability = nothingCombined || std::isnan(pvalue);
    if (!noProbability && inform <= 0) {
        writeMultiBlock(f, statistic, pvalue, warn);
        return;
    }
    std::fprintf(consoleOut(), "GENE %s Warning: The asymptotic %s p-value may not be accurate.\n", geneID, label);
    if (noProbability) writeMultiBlockNoPvalue(f, nothingCombined ? NAN : statistic);
    else writeMultiBlockFlagged(f, statistic, pvalue);
}

void writeBurdenLogCount(std::FILE* f, int mai) { std::fprintf(f, "\t%d", mai); }

void writeBurdenLogHead(std::FILE* f, const char* geneID, int mai) { std::fprintf(f, "%s\t%d", geneID, mai); }

void writeBurdenLogScore(std::FILE* f, double U, double V) { std::fprintf(f, "\t%.9E\t%.9E\n", U, V); }

void writeBurdenLogUndefined(std::FILE* f) { std::fprintf(f, "\t0\t0\n"); }

void writeVTLogRecord(std::FILE* f, const char* geneID, int K, const double* thresh, const int* mai_thresh,
                      const double* U, double** cov) {
    for (int t = 0; t < K; ++t) {
        std::fprintf(f, "%s\t%E\t%d\t%.9E", geneID, thresh[t], mai_thresh[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
}

void writeVCLogRecord(std::FILE* f, const char* geneID, int K, const char* const* snpID, const double* maf,
                      const int* mai_thresh, const int* snp_avc, const int* snp_het, const int* snp_alt,
                      const double* U, double** cov) {
    for (int t = 0; t < K; ++t) {
        std::fprintf(f, "%s\t%s\t%E\t%d\t%d\t%d\t%d\t%d\t%.9E", geneID, snpID[t], maf[t], mai_thresh[t], snp_avc[t],
                     snp_avc[t] - snp_het[t] - snp_alt[t], snp_het[t], snp_alt[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
}

void writeCustomizedLogRecord(std::FILE* f, const char* geneID, int K, const int* mac_thresh, const double* U,
                              double** cov) {
    for (int t = 0; t < K; ++t) {
        std::fprintf(f, "%s\t%d\t%d\t%.9E", geneID, t, mac_thresh[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
}
