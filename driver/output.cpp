#include "driver/output.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "driver/gene_output.h"
#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/missing_value.h"

namespace {

// Longest trait-log name held.
constexpr std::size_t kMaxLogName = 1023;

[[noreturn]] void stopCannotCreate() {
    std::fprintf(consoleOut(), "Cannot create output file.\n");
    kill_VENTARQUILLO();
}

// The names of the open output files, for the message of a failed write.
std::mutex open_names_mutex;
std::unordered_map<const std::FILE*, std::string>& openNames() {
    static std::unordered_map<const std::FILE*, std::string> names;
    return names;
}

void rememberName(const std::FILE* f, const std::string& name) {
    const std::lock_guard<std::mutex> lock(open_names_mutex);
    openNames()[f] = name;
}

std::string nameOf(const std::FILE* f) {
    const std::lock_guard<std::mutex> lock(open_names_mutex);
    const auto it = openNames().find(f);
    return it == openNames().end() ? std::string("?") : it->second;
}

void forgetName(const std::FILE* f) {
    const std::lock_guard<std::mutex> lock(open_names_mutex);
    openNames().erase(f);
}

// Every write to an output file goes through here: formatted output whose
// failure (a full disk, say) stops the run naming the file.
[[gnu::format(printf, 2, 3)]] void put(std::FILE* f, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(f, format, args);
    va_end(args);
    if (written < 0) stopWriteFailed(nameOf(f), errno);
}

std::FILE* openForWrite(const std::string& name) {
    std::FILE* f = std::fopen(name.c_str(), "w");
    if (f == nullptr) stopCannotCreate();
    rememberName(f, name);
    return f;
}

// The header of the result table: one title per method block, the title cell
// (trait name, "_", method) with `side` cells "------" on each side, then the
// line "ID" followed by the block's column names for every block.
void writeTableHeader(std::FILE* f, const RunSettings& s, const RunData& d, int side, const char* columns) {
    std::vector<std::pair<const char*, const char*>> blocks;  // trait name, method label
    if (s.N_SEC == 0) {
        blocks.emplace_back(d.traitHeader[0].c_str(), methodLabel(s));
    } else {
        for (int t = 1; t <= s.N_SEC; ++t) {
            const char* name = d.traitHeader[t].c_str();
            if (pairedLsBlocks(s)) {
                blocks.emplace_back(name, "LS-M");
                blocks.emplace_back(name, "LS-C");
            } else {
                blocks.emplace_back(name, methodLabel(s));
            }
        }
    }
    for (const auto& [name, method] : blocks) {
        for (int k = 0; k < side; ++k) put(f, "\t------");
        put(f, "\t%s_%s", name, method);
        for (int k = 0; k < side; ++k) put(f, "\t------");
    }
    put(f, "\nID");
    for (std::size_t k = 0; k < blocks.size(); ++k) put(f, "%s", columns);
    put(f, "\n");
}

void createTraitLog(const std::string& name, int n1) {
    if (name.size() > kMaxLogName) {
        std::printf("fail\nError: the trait log name '%s' is longer than %zu characters; choose a shorter -msglog "
                    "prefix or trait name.\n",
                    name.c_str(), kMaxLogName);
        kill_VENTARQUILLO();
    }
    std::FILE* f = openForWrite(name);
    put(f, "#Samples = %d\n", n1);
    closeOutput(f);
}

// Row t of cov as its lower triangle, then the line break.
void writeLowerTriangleRow(std::FILE* f, int K, int t, double** cov) {
    for (int u = 0; u < K; ++u) {
        if (u <= t) put(f, "\t%.9E", cov[t][u]);
        else put(f, "\t0");
    }
    put(f, "\n");
}

}  // namespace

void writeResultHeader(const RunSettings& s, const RunData& d) {
    std::FILE* f = openForWrite(s.outFile);
    if (isMultiScore(s)) writeTableHeader(f, s, d, 1, "\tStatistic\tP-value\tWarn");
    else writeTableHeader(f, s, d, 2, "\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn");
    closeOutput(f);
}

namespace {

// One trait log of the run: its entry in logList, the trait (0 the primary,
// s+1 secondary trait s) and its name, in the order of creation.
struct TraitLog {
    std::size_t slot;
    int trait;
    std::string name;
};

std::vector<TraitLog> traitLogNames(const RunSettings& s, const RunData& d) {
    std::vector<TraitLog> logs;
    if (s.N_SEC == 0) {
        logs.push_back({0, 0, s.logFile + "_" + d.traitHeader[0] + "_" + methodLabel(s)});
        return logs;
    }
    for (int t = 0; t < s.N_SEC; ++t) {
        const std::string stem = s.logFile + "_" + d.traitHeader[t + 1];
        const auto slot = static_cast<std::size_t>(t);
        if (!pairedLsBlocks(s)) {
            logs.push_back({slot + 1, t + 1, stem + "_" + methodLabel(s)});
        } else {
            logs.push_back({2 * slot + 1, t + 1, stem + "_LS-M"});
            logs.push_back({2 * slot + 2, t + 1, stem + "_LS-C"});
        }
    }
    return logs;
}

}  // namespace

void createTraitLogs(const RunSettings& s, RunData& d) {
    for (const TraitLog& log : traitLogNames(s, d)) {
        d.logList[log.slot] = log.name;
        createTraitLog(log.name, d.n1);
    }
}

void checkOutputFiles(const RunSettings& s, const RunData& d) {
    const std::vector<TraitLog> logs = traitLogNames(s, d);
    for (std::size_t i = 1; i < logs.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (logs[i].name == logs[j].name) {
                std::printf("Error: two traits are named '%s' and would share the trait log '%s'; every trait needs "
                            "its own name.\n",
                            d.traitHeader[static_cast<std::size_t>(logs[i].trait)].c_str(), logs[i].name.c_str());
                kill_VENTARQUILLO();
            }

    // The input files of the run, compared by device and inode so that
    // another path to the same file (a link, "./", "..") is caught too.
    std::vector<const std::string*> inputs = {&s.seqPheno};
    if (s.m_cov) inputs.push_back(&s.whichCov);
    if (usesMle(s)) inputs.push_back(&s.nonseqPheno);
    inputs.push_back(&s.scoreFile);
    if (usesMapping(s)) inputs.push_back(&s.mapFile);
    if (s.DO_BURDEN == kCustomized) inputs.push_back(&s.wfile);
    std::vector<std::pair<const char*, const std::string*>> outputs = {{"result table", &s.outFile}};
    for (const TraitLog& log : logs) outputs.emplace_back("trait log", &log.name);

    for (const auto& [kind, out] : outputs) {
        struct stat so {};
        if (::stat(out->c_str(), &so) != 0) continue;  // not there yet: not an input either
        for (const std::string* in : inputs) {
            struct stat si {};
            if (::stat(in->c_str(), &si) == 0 && si.st_dev == so.st_dev && si.st_ino == so.st_ino) {
                std::printf("Error: the %s '%s' is the input file '%s'; writing it would destroy the input.\n", kind,
                            out->c_str(), in->c_str());
                kill_VENTARQUILLO();
            }
        }
    }
}

std::FILE* openForAppend(const std::string& name) {
    // A gene analysed on a worker thread collects its files in memory.
    if (GeneOutput* gene = GeneOutput::current()) return gene->openFile(name);
    std::FILE* f = std::fopen(name.c_str(), "a");
    if (f == nullptr) stopCannotCreate();
    rememberName(f, name);
    return f;
}

void closeOutput(std::FILE* f) {
    if (GeneOutput* gene = GeneOutput::current(); gene != nullptr && gene->closeFile(f)) return;
    const std::string name = nameOf(f);
    forgetName(f);
    closeOutputOrStop(f, name);
}

void closeOutputOrStop(std::FILE* f, const std::string& name) {
    // A write error seen earlier stays flagged; fclose reports the flush of
    // what is still buffered.
    const bool failed_before = std::ferror(f) != 0;
    errno = 0;
    const bool failed_now = std::fclose(f) != 0;
    if (failed_before || failed_now) stopWriteFailed(name, errno != 0 ? errno : EIO);
}

void writeOutputOrStop(std::FILE* f, const std::string& name, const char* data, std::size_t len) {
    if (len > 0 && std::fwrite(data, 1, len, f) != len) stopWriteFailed(name, errno);
}

void stopWriteFailed(const std::string& name, int error) {
    std::fprintf(consoleOut(), "Error: Cannot write output file '%s': %s.\n", name.c_str(), std::strerror(error));
    kill_VENTARQUILLO();
}

void writeGeneId(std::FILE* f, const char* geneID) { put(f, "%s", geneID); }

void endResultRow(std::FILE* f) { put(f, "\n"); }

void writeBurdenBlock(std::FILE* f, double statistic, double pvalue, double beta_est, double beta_se,
                      const char* warn) {
    put(f, "\t%.9E\t%.4E\t%.4E\t%.4E\t%s", statistic, pvalue, beta_est, beta_se, warn);
}

void writeBurdenBlockUndefined(std::FILE* f, double beta_est, double beta_se, const char* warn) {
    put(f, "\tNA\tNA\t%.4E\t%.4E\t%s", beta_est, beta_se, warn);
}

void writeBurdenNAPrimary(std::FILE* f, const char* warn) { put(f, "\tNA\tNA\tNA\tNA\t%s\n", warn); }

void writeBurdenNABlock(std::FILE* f, const char* warn) { put(f, "\tNA\tNA\tNA\tNA\t%s", warn); }

void writeBurdenNAPair(std::FILE* f, const char* warn) {
    put(f, "\tNA\tNA\tNA\tNA\t%s\tNA\tNA\tNA\tNA\t%s", warn, warn);
}

void writeMultiBlock(std::FILE* f, double statistic, double pvalue, const char* warn) {
    put(f, "\t%.9E\t%.4E\t%s", statistic, pvalue, warn);
}

void writeMultiBlockFlagged(std::FILE* f, double statistic, double pvalue) {
    put(f, "\t%.9E\t%.4E\tPvalue_Fail", statistic, pvalue);
}

void writeMultiBlockNull(std::FILE* f) { put(f, "\tNA\tNA\tVar_Null"); }

void writeMultiBlockNoPvalue(std::FILE* f, double statistic) {
    if (std::isfinite(statistic)) put(f, "\t%.9E\tNA\tPvalue_Fail", statistic);
    else put(f, "\tNA\tNA\tPvalue_Fail");
}

void writeCombinedBlock(std::FILE* f, const char* geneID, const char* label, double statistic, double pvalue,
                        int inform, const char* warn) {
    const bool nothingCombined = pvalue == kNotComputed;
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

void writeBurdenLogCount(std::FILE* f, int mai) { put(f, "\t%d", mai); }

void writeBurdenLogHead(std::FILE* f, const char* geneID, int mai) { put(f, "%s\t%d", geneID, mai); }

void writeBurdenLogScore(std::FILE* f, double U, double V) { put(f, "\t%.9E\t%.9E\n", U, V); }

void writeBurdenLogUndefined(std::FILE* f) { put(f, "\t0\t0\n"); }

void writeVTLogRecord(std::FILE* f, const char* geneID, int K, const double* thresh, const int* mai_thresh,
                      const double* U, double** cov) {
    for (int t = 0; t < K; ++t) {
        put(f, "%s\t%E\t%d\t%.9E", geneID, thresh[t], mai_thresh[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
}

void writeVCLogRecord(std::FILE* f, const char* geneID, int K, const char* const* snpID, const double* maf,
                      const int* mai_thresh, const int* snp_avc, const int* snp_het, const int* snp_alt,
                      const double* U, double** cov) {
    for (int t = 0; t < K; ++t) {
        put(f, "%s\t%s\t%E\t%d\t%d\t%d\t%d\t%d\t%.9E", geneID, snpID[t], maf[t], mai_thresh[t], snp_avc[t],
                     snp_avc[t] - snp_het[t] - snp_alt[t], snp_het[t], snp_alt[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
}

void writeCustomizedLogRecord(std::FILE* f, const char* geneID, int K, const int* mac_thresh, const double* U,
                              double** cov) {
    for (int t = 0; t < K; ++t) {
        put(f, "%s\t%d\t%d\t%.9E", geneID, t, mac_thresh[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
}
