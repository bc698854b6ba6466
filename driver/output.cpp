#include "driver/output.h"

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/missing_value.h"

namespace {

// Longest trait-log name held.
constexpr std::size_t kMaxLogName = 1023;

// The header of the result table: one title per method block, the title cell
// (trait name, "_", method) with `side` cells "------" on each side, then the
// line "ID" followed by the block's column names for every block.
void writeTableHeader(OutputFile& f, const RunSettings& s, const RunData& d, int side, const char* columns) {
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
        for (int k = 0; k < side; ++k) f.print("\t------");
        f.print("\t%s_%s", name, method);
        for (int k = 0; k < side; ++k) f.print("\t------");
    }
    f.print("\nID");
    for (std::size_t k = 0; k < blocks.size(); ++k) f.print("%s", columns);
    f.print("\n");
    f.endRow();
}

void createTraitLog(const std::string& name, int n1) {
    if (name.size() > kMaxLogName) {
        std::printf("fail\nError: the trait log name '%s' is longer than %zu characters; choose a shorter -msglog "
                    "prefix or trait name.\n",
                    name.c_str(), kMaxLogName);
        removeOutputsMadeSoFar();
        kill_VENTARQUILLO();
    }
    OutputFile f = OutputFile::create(name);
    f.print("#Samples = %d\n", n1);
    f.endRow();
    f.close();
}

// Row t of cov as its lower triangle, then the line break.
void writeLowerTriangleRow(OutputFile& f, int K, int t, double** cov) {
    for (int u = 0; u < K; ++u) {
        if (u <= t) f.print("\t%.9E", cov[t][u]);
        else f.print("\t0");
    }
    f.print("\n");
}

}  // namespace

void writeResultHeader(const RunSettings& s, const RunData& d) {
    OutputFile f = OutputFile::create(s.outFile);
    if (isMultiScore(s)) writeTableHeader(f, s, d, 1, "\tStatistic\tP-value\tWarn");
    else writeTableHeader(f, s, d, 2, "\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn");
    f.close();
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

// Where an output file lands: the file itself when it exists (device and
// inode, so that links and other paths to it compare equal); else the folder
// it will be made in (device and inode) and its name there, so that "x" and
// "./x" compare equal too; a name whose folder cannot be reached stands for
// itself (making the file will fail).
struct OutputPlace {
    enum class Kind { File, InFolder, Name } kind = Kind::Name;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string leaf;
    bool operator==(const OutputPlace&) const = default;
};

OutputPlace placeOf(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0) return {OutputPlace::Kind::File, st.st_dev, st.st_ino, ""};
    const std::size_t slash = name.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    if (::stat(folder.c_str(), &st) == 0) return {OutputPlace::Kind::InFolder, st.st_dev, st.st_ino, leaf};
    return {OutputPlace::Kind::Name, 0, 0, name};
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

    std::vector<std::pair<const char*, const std::string*>> outputs = {{"result table", &s.outFile}};
    for (const TraitLog& log : logs) outputs.emplace_back("trait log", &log.name);

    // Two outputs in one file would mix their rows and records (and the
    // later creation would empty the earlier one's first lines).
    std::vector<OutputPlace> places;
    for (const auto& [kind, out] : outputs) places.push_back(placeOf(*out));
    for (std::size_t i = 1; i < outputs.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (*outputs[i].second == *outputs[j].second || places[i] == places[j]) {
                std::printf("Error: the %s '%s' and the %s '%s' would be one file; every output needs its own file.\n",
                            outputs[j].first, outputs[j].second->c_str(), outputs[i].first,
                            outputs[i].second->c_str());
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

void writeGeneId(OutputFile& f, const char* geneID) { f.print("%s", geneID); }

void endResultRow(OutputFile& f) {
    f.print("\n");
    f.endRow();
}

namespace {

// An effect estimate or its standard error: "%.4E", or NA when it is not a
// number or infinite (a negative variance under the square root, a fit that
// diverged), never the C library's spelling of such a value.
void writeEstimateCell(OutputFile& f, double v) {
    if (std::isfinite(v))
        f.print("\t%.4E", v);
    else
        f.print("\tNA");
}

}  // namespace

void writeBurdenBlock(OutputFile& f, double statistic, double pvalue, double beta_est, double beta_se,
                      const char* warn) {
    f.print("\t%.9E\t%.4E", statistic, pvalue);
    writeEstimateCell(f, beta_est);
    writeEstimateCell(f, beta_se);
    f.print("\t%s", warn);
}

void writeBurdenBlockUndefined(OutputFile& f, double beta_est, double beta_se, const char* warn) {
    f.print("\tNA\tNA");
    writeEstimateCell(f, beta_est);
    writeEstimateCell(f, beta_se);
    f.print("\t%s", warn);
}

void writeBurdenNAPrimary(OutputFile& f, const char* warn) {
    f.print("\tNA\tNA\tNA\tNA\t%s\n", warn);
    f.endRow();
}

void writeBurdenNABlock(OutputFile& f, const char* warn) { f.print("\tNA\tNA\tNA\tNA\t%s", warn); }

void writeBurdenNAPair(OutputFile& f, const char* warn) {
    f.print("\tNA\tNA\tNA\tNA\t%s\tNA\tNA\tNA\tNA\t%s", warn, warn);
}

void writeMultiBlock(OutputFile& f, double statistic, double pvalue, const char* warn) {
    f.print("\t%.9E\t%.4E\t%s", statistic, pvalue, warn);
}

void writeMultiBlockFlagged(OutputFile& f, double statistic, double pvalue) {
    f.print("\t%.9E\t%.4E\tPvalue_Fail", statistic, pvalue);
}

void writeMultiBlockNull(OutputFile& f) { f.print("\tNA\tNA\tVar_Null"); }

void writeMultiBlockNoPvalue(OutputFile& f, double statistic) {
    if (std::isfinite(statistic)) f.print("\t%.9E\tNA\tPvalue_Fail", statistic);
    else f.print("\tNA\tNA\tPvalue_Fail");
}

void writeCombinedBlock(OutputFile& f, const char* geneID, const char* label, double statistic, double pvalue,
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

void writeBurdenLogCount(OutputFile& f, int mai) { f.print("\t%d", mai); }

void writeBurdenLogHead(OutputFile& f, const char* geneID, int mai) { f.print("%s\t%d", geneID, mai); }

void writeBurdenLogScore(OutputFile& f, double U, double V) {
    f.print("\t%.9E\t%.9E\n", U, V);
    f.endRow();
}

void writeBurdenLogUndefined(OutputFile& f) {
    f.print("\t0\t0\n");
    f.endRow();
}

void writeVTLogRecord(OutputFile& f, const char* geneID, int K, const double* thresh, const int* mai_thresh,
                      const double* U, double** cov) {
    for (int t = 0; t < K; ++t) {
        f.print("%s\t%E\t%d\t%.9E", geneID, thresh[t], mai_thresh[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
    f.endRow();
}

void writeVCLogRecord(OutputFile& f, const char* geneID, int K, const char* const* snpID, const double* maf,
                      const int* mai_thresh, const int* snp_avc, const int* snp_het, const int* snp_alt,
                      const double* U, double** cov) {
    for (int t = 0; t < K; ++t) {
        f.print("%s\t%s\t%E\t%d\t%d\t%d\t%d\t%d\t%.9E", geneID, snpID[t], maf[t], mai_thresh[t], snp_avc[t],
                     snp_avc[t] - snp_het[t] - snp_alt[t], snp_het[t], snp_alt[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
    f.endRow();
}

void writeCustomizedLogRecord(OutputFile& f, const char* geneID, int K, const int* mac_thresh, const double* U,
                              double** cov) {
    for (int t = 0; t < K; ++t) {
        f.print("%s\t%d\t%d\t%.9E", geneID, t, mac_thresh[t], U[t]);
        writeLowerTriangleRow(f, K, t, cov);
    }
    f.endRow();
}
