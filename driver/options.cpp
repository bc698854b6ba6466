#include "driver/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/text_input.h"
#include "engine/stop.h"

namespace {

constexpr const char* kRobustScaleReference = "https://en.wikipedia.org/wiki/Median_absolute_deviation";

enum class ValueKind { None, Text, Integer, Real, Keyword };

struct OptionName {
    const char* name;
    ValueKind kind;
};

// Compared in this order with every argument; the first equal name is taken.
constexpr OptionName kOptionTable[] = {
    {"-sampling", ValueKind::Keyword}, {"-dominant", ValueKind::None},
    {"-recessive", ValueKind::None},   {"-pfile_seq", ValueKind::Text},
    {"-pfile_nonseq", ValueKind::Text}, {"-cov", ValueKind::Text},
    {"-rounding", ValueKind::Integer}, {"-gfile", ValueKind::Text},
    {"-ofile", ValueKind::Text},       {"-msglog", ValueKind::Text},
    {"-MAC", ValueKind::Integer},      {"-MAF", ValueKind::Real},
    {"-log", ValueKind::None},         {"-INT", ValueKind::None},
    {"-R-INT", ValueKind::Integer},    {"-method", ValueKind::Keyword},
    {"-nsec", ValueKind::Integer},     {"-mfile", ValueKind::Text},
    {"-wfile", ValueKind::Text},       {"-test", ValueKind::Keyword},
    {"-CR", ValueKind::Real},
};

[[noreturn]] void stop_with(const char* format, const char* value) {
    std::printf(format, value);
    kill_VENTARQUILLO();
}

void read_sampling(const char* value, RunSettings& s) {
    if (std::strcmp(value, "TDS") == 0) s.TYPE_STUDY = kTDS;
    else if (std::strcmp(value, "CC") == 0) s.TYPE_STUDY = kCC;
    else if (std::strcmp(value, "random") == 0) s.TYPE_STUDY = kRandom;
    else
        stop_with("fail\nError: Unknown parameters '%s' for -sampling option. Three possible parameters are TDS, CC, and random.\n",
                  value);
}

void read_method(const char* value, RunSettings& s) {
    if (std::strcmp(value, "MLE") == 0) s.DO_MLE = kMLE;
    else if (std::strcmp(value, "LS") == 0) s.DO_MLE = kLS;
    else
        stop_with("fail\nError: Unknown parameters '%s' for -method option. Two possible parameters are MLE and LS.\n", value);
    s.m_method = 1;
}

void read_test(const char* value, RunSettings& s) {
    static const char* const kTests[] = {"T1", "T5", "MB", "VT", "VC", "customized"};
    for (int k = 0; k < 6; ++k) {
        if (std::strcmp(value, kTests[k]) == 0) {
            s.DO_BURDEN = kT1 + k;
            s.m_burden = 1;
            return;
        }
    }
    stop_with("fail\nError: Unknown parameters '%s' for -test option. Four possible parameters are T1, T5, MB, VT, and VC.\n",
              value);
}

// The value of an integer option: one whole decimal integer (optional sign,
// digits, nothing else), as the files' integer fields are written.  False for
// anything else ("2.7", "0x10", "abc", " 5", "") and for values beyond a long.
bool optionInteger(const char* text, long* value) {
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    if (*p == '\0') return false;
    for (const char* q = p; *q != '\0'; ++q)
        if (static_cast<unsigned>(*q - '0') >= 10u) return false;
    errno = 0;
    const long v = std::strtol(text, nullptr, 10);
    if (errno == ERANGE) return false;
    *value = v;
    return true;
}

// A proportion option (-MAF, -CR): one whole finite decimal number in [0, 1],
// in the grammar of the files' numbers; anything else stops the run.
double proportionValue(const char* option, const char* value) {
    double v = 0.0;
    if (!finiteDecimal(value, &v) || !(v >= 0.0 && v <= 1.0)) {
        std::printf("\nError: The value '%s' of option %s is not a number between 0 and 1.\n", value, option);
        kill_VENTARQUILLO();
    }
    return v;
}

void apply_option(const char* name, const char* value, RunSettings& s) {
    const std::string opt = name;
    long v = 0;
    if (opt == "-sampling") read_sampling(value, s);
    else if (opt == "-dominant") s.DO_CMC = 1;
    else if (opt == "-recessive") s.DO_REC = 1;
    else if (opt == "-pfile_seq") { s.seqPheno = value; s.m_p1file = 1; }
    else if (opt == "-pfile_nonseq") { s.nonseqPheno = value; s.m_p2file = 1; }
    else if (opt == "-cov") { s.whichCov = value; s.m_cov = 1; }
    else if (opt == "-rounding") {
        // The rounding keeps at least one significant digit, so a bound below
        // 1 could never be honoured.
        if (!optionInteger(value, &v) || v < 1)
            stop_with("\nError: The value '%s' of option -rounding is not a positive number of distinct values.\n", value);
        s.NMAX = v;
        s.DO_ROUND = 1;
        s.m_round = 1;
    } else if (opt == "-gfile") { s.scoreFile = value; s.m_gfile = 1; }
    else if (opt == "-ofile") { s.outFile = value; s.m_ofile = 1; }
    else if (opt == "-msglog") s.logFile = value;
    else if (opt == "-MAC") {
        if (!optionInteger(value, &v) || v < 0 || v > INT_MAX)
            stop_with("\nError: The value '%s' of option -MAC is not an integer from 0 to 2147483647.\n", value);
        s.MAI_LB = static_cast<int>(v);
        s.m_MAC = 1;
    } else if (opt == "-MAF") { s.MAF_UB = proportionValue("-MAF", value); s.m_MAF = 1; }
    else if (opt == "-log") s.DO_LOG = 1;
    else if (opt == "-INT") s.DO_InvNormal = 1;
    else if (opt == "-R-INT") {
        if (!optionInteger(value, &v) || v < 0 || v > 2)
            stop_with("\nError: The value '%s' of option -R-INT is not 0, 1 or 2.\n", value);
        s.DO_Rescale = static_cast<int>(v);
        s.DO_InvNormal = 1;
    } else if (opt == "-method") read_method(value, s);
    else if (opt == "-nsec") {
        if (!optionInteger(value, &v) || v < 0 || v > INT_MAX)
            stop_with("\nError: The value '%s' of option -nsec is not a non-negative number of secondary traits.\n", value);
        s.N_SEC = static_cast<int>(v);
        s.m_nsec = 1;
    } else if (opt == "-mfile") { s.mapFile = value; s.m_mfile = 1; }
    else if (opt == "-wfile") { s.wfile = value; s.m_wf = 1; }
    else if (opt == "-test") read_test(value, s);
    else if (opt == "-CR") { s.CR_LB = proportionValue("-CR", value); s.m_CR = 1; }
}

const char* model_name(const RunSettings& s) {
    if (s.DO_CMC == 1) return "dominant";
    if (s.DO_REC == 1) return "recessive";
    return "additive";
}

void echo_test_line(const RunSettings& s) {
    switch (s.DO_BURDEN) {
        case kT1:
        case kT5:
        case kVT:
        case kVC: {
            static const char* const kNames[] = {"", "T1", "T5", "", "VT", "VC"};
            std::printf("        -- %s test under %s model will be perfomed.\n", kNames[s.DO_BURDEN], model_name(s));
            break;
        }
        case kMB:
            std::printf("        -- MB test will be perfomed.\n");
            break;
        case kCustomized:
            std::printf("        -- Customized test will be perfomed using weight file '%s'.\n", s.wfile.c_str());
            break;
        default:
            break;
    }
}

// The MB and customized scores are built from additive codes only: a
// dominant or recessive request is dropped with a warning.
void keep_additive_coding(const char* score, RunSettings& s) {
    if (s.DO_CMC == 1) {
        std::printf("Warning: %s burden score can not be created under dominant model. Use additive model for MB test.\n", score);
        s.DO_CMC = 0;
    }
    if (s.DO_REC == 1) {
        std::printf("Warning: %s burden score can not be created under recessive model. Use additive model for MB test.\n", score);
        s.DO_REC = 0;
    }
}

}  // namespace

void print_banner() {
    std::printf("\n");
    std::printf("@-----------------------------------------------------------@\n");
    std::printf("|     VENTARQUILLO     |     v7    |       29/July/2015     |\n");
    std::printf("-------------------------------------------------------------\n");
    std::printf("|               For documentation & citation                |\n");
    std::printf("|      See README.md in the VENTARQUILLO distribution       |\n");
    std::printf("@-----------------------------------------------------------@\n\n");
}

void read_options(int argc, char** argv, RunSettings& s) {
    for (int i = 1; i < argc; ++i) {
        const OptionName* found = nullptr;
        for (const OptionName& option : kOptionTable) {
            if (std::strcmp(argv[i], option.name) == 0) {
                found = &option;
                break;
            }
        }
        if (found == nullptr) stop_with("\nError: Unknown command line option '%s'.\n", argv[i]);
        const char* value = "";
        if (found->kind != ValueKind::None) {
            if (i + 1 >= argc) stop_with("\nError: Command line option '%s' needs a value.\n", argv[i]);
            value = argv[++i];
        }
        apply_option(found->name, value, s);
    }
}

void apply_option_rules(RunSettings& s) {
    if (s.DO_BURDEN == kMB) keep_additive_coding("MB", s);
    if (s.DO_BURDEN == kCustomized) {
        keep_additive_coding("Customized", s);
        if (s.m_wf == 0) {
            std::printf("Error: Cannot find the weight file for the customized test.\n");
            kill_VENTARQUILLO();
        }
    }
    // Dominant coding wins over recessive: the recessive flag is cleared, so
    // that the carrier count of the burden check follows the dominant coding
    // too (at least one minor allele, not two).
    if (s.DO_CMC == 1) s.DO_REC = 0;
    if (s.TYPE_STUDY == kCC || s.TYPE_STUDY == kRandom) {
        if (usesMle(s) && s.m_method == 1)
            std::printf("Warning: MLE test can not be conducted for case-control or case-only study. Do LS test instead.\n");
        if (s.N_SEC == 0) {
            std::printf("fail\nError: Primary trait can not be analyzed for case-control or case-only study. Please specify the number of secondary trait(s).\n");
            kill_VENTARQUILLO();
        }
        s.DO_MLE = kLS;
    }
    if (s.TYPE_STUDY == kTDS) s.DO_ROUND = 1;
}

void echo_settings(RunSettings& s) {
    const bool tds = s.TYPE_STUDY == kTDS;

    std::printf("FROM USER:\n");
    if (s.m_p1file) std::printf("        -- Phenotype file for sequenced subjects read from '%s'.\n", s.seqPheno.c_str());
    if (s.m_cov) std::printf("        -- Different covariates for primary and secondary trait.\n");
    if (s.m_p2file && usesMle(s))
        std::printf("        -- Phenotype file for non-sequenced subjects read from '%s'.\n", s.nonseqPheno.c_str());
    if (tds && s.m_round) std::printf("        -- Round the primary trait to yield with at most %ld distinct values.\n", s.NMAX);
    if (s.m_gfile) std::printf("        -- Genotype file read from '%s'.\n", s.scoreFile.c_str());
    if (s.m_CR) std::printf("        -- Call rate lower bound is %f.\n", s.CR_LB);
    if (s.m_burden) {
        if (s.m_MAF) std::printf("        -- MAF upper bound is %f.\n", s.MAF_UB);
        echo_test_line(s);
    }
    if (s.m_mfile) std::printf("        -- Mapping file read from '%s'.\n", s.mapFile.c_str());
    if (s.m_ofile) std::printf("        -- Results written to '%s'.\n", s.outFile.c_str());
    if (s.m_MAC) std::printf("        -- MAC lower bound is %d.\n", s.MAI_LB);
    if (s.DO_LOG == 1 && tds) std::printf("        -- Do log transformation on the primary trait.\n");
    if (s.DO_InvNormal == 1 && s.DO_Rescale == kNoRescale)
        std::printf("        -- Apply inverse normal transformation to the trait of interest.\n");
    if (s.DO_Rescale == kRescaleSD)
        std::printf("        -- Apply rescaled inverse normal transformation to the trait of interest using the conventional standard deviation.\n");
    if (s.DO_Rescale == kRescaleRobust)
        std::printf("        -- Apply rescaled inverse normal transformation to the trait of interest using the robust standard deviation (%s).\n",
                    kRobustScaleReference);
    if (!usesMle(s)) std::printf("        -- Conduct LS test instead of MLE test.\n");
    if (s.N_SEC > 0) std::printf("        -- Conduct test on %d secondary trait(s).\n", s.N_SEC);
    std::printf("\n");

    if (!usesMle(s) && s.m_p2file)
        std::printf("Warning: Phenotype file for non-sequenced subjects is not used for the LS test.\n");
    if (!usesMapping(s) && s.m_mfile) std::printf("Warning: Mapping file is not used when no burden score is requested.\n");
    if (s.m_round && !tds) {
        std::printf("Warning: option -rounding is invalid when the sampling design is not TDS.\n");
        s.DO_ROUND = 0;
    }
    if (s.DO_LOG == 1 && !tds) {
        std::printf("Warning: option -log is invalid when the sampling design is not TDS.\n");
        s.DO_LOG = 0;
    }

    std::printf("FROM DEFAULTS:\n");
    if (!s.m_p1file) std::printf("        -- Phenotype file for sequenced subjects read from '%s'.\n", s.seqPheno.c_str());
    if (!s.m_cov) std::printf("        -- Same covariates for primary and secondary trait.\n");
    if (!s.m_p2file && usesMle(s))
        std::printf("        -- Phenotype file for non-sequenced subjects read from '%s'.\n", s.nonseqPheno.c_str());
    if (!s.m_gfile) std::printf("        -- Genotype file read from '%s'.\n", s.scoreFile.c_str());
    if (!s.m_burden) std::printf("        -- No burden score is created. Directly use the genotype file for the analysis.\n");
    if (usesMapping(s) && !s.m_mfile) std::printf("        -- Mapping file read from '%s'.\n", s.mapFile.c_str());
    if (!s.m_ofile) std::printf("        -- Results written to '%s'.\n", s.outFile.c_str());
    if (!s.m_MAC) std::printf("        -- MAC lower bound is %d.\n", s.MAI_LB);
    if (s.DO_LOG == 0) std::printf("        -- No log transformation on the primary trait.\n");
    if (s.N_SEC == 0 && usesMle(s)) std::printf("        -- Conduct MLE test on the primary trait.\n");
    std::printf("\n");
}
