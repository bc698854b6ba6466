// Run settings: the command line, the rules between options, and the echo of
// the settings on the console.
#ifndef VENTARQUILLO_DRIVER_OPTIONS_H
#define VENTARQUILLO_DRIVER_OPTIONS_H

#include <string>

// The integer codes of the run's modes.  The settings keep them as plain ints
// because the engine routines take the same codes.
// Sampling design (TYPE_STUDY).
constexpr int kTDS = 1;     // trait-dependent sampling
constexpr int kCC = 2;      // case-control sampling
constexpr int kRandom = 3;  // case-only or random sampling
// Fitting method (DO_MLE).
constexpr int kLS = 0;
constexpr int kMLE = 1;
// Test (DO_BURDEN): the single-burden family first, then the multi-score one.
constexpr int kDirect = 0;  // each genotype row tested on its own, no mapping file
constexpr int kT1 = 1;
constexpr int kT5 = 2;
constexpr int kMB = 3;
constexpr int kVT = 4;
constexpr int kVC = 5;
constexpr int kCustomized = 6;
// Scale of the rescaled inverse-normal transformation (DO_Rescale, -R-INT).
constexpr int kNoRescale = 0;
constexpr int kRescaleSD = 1;      // population standard deviation
constexpr int kRescaleRobust = 2;  // robust standard deviation (scaled MAD)
// Genotype coding (MODEL).
constexpr int kAdditive = 1;
constexpr int kDominant = 2;
constexpr int kRecessive = 3;

// The run's settings as the command line leaves them, plus an m_* flag for
// each option that was given explicitly (the echo and some rules need to
// know).  main owns it; nothing changes it after the "Loading data" line.
struct RunSettings {
    int TYPE_STUDY = kTDS; // kTDS, kCC or kRandom
    int DO_MLE = kMLE;     // kMLE or kLS
    int N_SEC = 0;         // number of secondary traits; 0 = primary trait analysed
    int DO_BURDEN = kDirect; // kDirect, kT1, kT5, kMB, kVT, kVC or kCustomized
    int DO_CMC = 0;        // dominant coding requested
    int DO_REC = 0;        // recessive coding requested
    int DO_ROUND = 0;      // round the pooled primary trait
    long NMAX = 500;       // most distinct primary-trait values after rounding
    int DO_LOG = 0;        // natural logarithm of the primary trait
    int DO_InvNormal = 0;  // inverse-normal transformation of the trait of interest
    int DO_Rescale = kNoRescale; // kNoRescale, kRescaleSD or kRescaleRobust
    int MAI_LB = 1;        // lower bound on minor-allele individuals (-MAC)
    double MAF_UB = 0.05;  // upper bound on a variant's minor-allele frequency
    double CR_LB = 0.0;    // lower bound on a variant's call rate

    std::string seqPheno = "pheno_seq.txt";
    std::string nonseqPheno = "pheno_nonseq.txt";
    std::string whichCov = "cov.txt";
    std::string scoreFile = "geno.txt";
    std::string mapFile = "mapping.txt";
    std::string wfile = "wfile.txt";
    std::string outFile = "output.txt";
    std::string logFile = "log";

    // Given-flags: 1 when the option appeared on the command line.
    int m_p1file = 0, m_p2file = 0, m_cov = 0, m_round = 0, m_gfile = 0, m_ofile = 0, m_MAC = 0;
    int m_MAF = 0, m_method = 0, m_nsec = 0, m_mfile = 0, m_wf = 0, m_burden = 0, m_CR = 0;
};

// The mode questions that several steps ask.
inline bool usesMle(const RunSettings& s) { return s.DO_MLE == kMLE; }
inline bool usesMapping(const RunSettings& s) { return s.DO_BURDEN != kDirect; }
inline bool isMultiScore(const RunSettings& s) { return s.DO_BURDEN >= kVT; }
// The genotype coding that -dominant and -recessive select (kAdditive otherwise).
inline int codingModel(const RunSettings& s) {
    return s.DO_CMC == 1 ? kDominant : (s.DO_REC == 1 ? kRecessive : kAdditive);
}
// LS with TDS or CC writes two method blocks per secondary trait (LS-M, LS-C).
inline bool pairedLsBlocks(const RunSettings& s) { return s.DO_MLE == kLS && s.TYPE_STUDY != kRandom; }
// The label of the fitting method in headers and log names.
inline const char* methodLabel(const RunSettings& s) { return usesMle(s) ? "MLE" : "LS"; }

// Writes the blank line and the six banner lines.
void print_banner();

// Reads argv[1..argc-1] into the settings.  Unknown options, bad keywords and
// malformed values or values outside their range end the run with a message
// naming the option and the value, then the stop line.  Integer options
// (-rounding, -MAC, -R-INT, -nsec) take one whole decimal integer, -MAF and
// -CR one whole finite decimal number from 0 to 1.
void read_options(int argc, char** argv, RunSettings& s);

// The four rules between options, in order, with their warnings and resets.
void apply_option_rules(RunSettings& s);

// The "FROM USER:" block, the four checks and the "FROM DEFAULTS:" block.
void echo_settings(RunSettings& s);

#endif
