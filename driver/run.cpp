#include "driver/run.h"

#include <cstdio>
#include <ctime>

#include "driver/gene_loop.h"
#include "driver/options.h"
#include "driver/output.h"
#include "driver/output_file.h"
#include "driver/readers.h"
#include "driver/trait_checks.h"
#include "driver/transforms.h"
#include "driver/value_checks.h"
#include "engine/data_preparation.h"

namespace {

// The local time in the 24-character calendar form, followed by a line break.
const char* calendar_now() {
    const std::time_t now = std::time(nullptr);
    return std::ctime(&now);
}

}  // namespace

int run_ventarquillo(int argc, char** argv) {
    print_banner();
    std::printf("\nVENTARQUILLO started: %s\n", calendar_now());
    std::printf("\n*----------------- Loading options...-----------------*\n");

    RunSettings settings;
    read_options(argc, argv, settings);
    apply_option_rules(settings);
    echo_settings(settings);

    // The input files, in their fixed order, then the summary.
    std::printf("\n*----------------- Loading data...-----------------*\n");
    RunData data;
    readSequencedPhenotypes(settings, data);
    checkSequencedValues(settings, data);
    checkTraitsAsRead(settings, data);
    if (settings.m_cov) readCovariateSelection(settings, data);
    if (usesMle(settings)) {
        readNonsequencedPhenotypes(settings, data);
    } else if (settings.N_SEC == 0 && settings.DO_InvNormal == 1) {
        // Least squares on the primary trait: the transformation that -INT and
        // -R-INT announce applies to the sequenced values alone.
        stopUnlessRobustScale(settings, data.n1, data.seq_prim, "the primary trait '" + data.traitHeader[0] + "'",
                              "the " + std::to_string(data.n1) + " sequenced subjects in file '" + settings.seqPheno +
                                  "'");
        rankInverseNormal(data.n1, data.seq_prim, settings.DO_Rescale);
    }
    readGenotypes(settings, data);
    if (usesMapping(settings)) readMapping(settings, data);
    // The customized test's weights, read and checked once (no console text).
    if (settings.DO_BURDEN == kCustomized) readWeightFile(settings.wfile, data.weights);
    printDataSummary(settings, data);

    covariatesProcess(data.n1, data.p, data.covariates);
    if (settings.DO_LOG == 1) logPrimaryTrait(data.n1, data.seq_prim, settings.DO_MLE, data.n0, data.nonseq_prim_unique);
    // A constant trait or a singular design stops here, before any gene.
    checkTraitsAndDesigns(settings, data);

    std::printf("\n*---------------- START SCORE TEST ----------------*\n");
    std::printf("              %s\n", calendar_now());
    allocateGeneArrays(settings, data);
    checkOutputFiles(settings, data);
    // A run that cannot create all of its outputs leaves none that it made.
    beginOutputCreation();
    writeResultHeader(settings, data);
    createTraitLogs(settings, data);
    endOutputCreation();

    // ===== The gene loop: the one call that analyses the genes. =====
    runGeneLoop(settings, data);

    if (data.fi != nullptr) {
        std::fclose(data.fi);
        data.fi = nullptr;
    }
    std::printf("\n*----------------- END SCORE TEST -----------------*\n");
    std::printf("              %s", calendar_now());
    releaseRunData(settings, data);
    return 0;
}
