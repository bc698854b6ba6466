#include "driver/weight_file.h"

#include <cmath>

#include "driver/text_input.h"
#include "driver/value_checks.h"
#include "engine/stop.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr const char* kOpenWeights = "fail\nError: Cannot open weight file '%s'.\n";

}  // namespace

int skipLine(std::FILE* fi) {
    for (;;) {
        const int c = std::getc(fi);
        if (c == EOF) return 1;
        if (c == '\n') return 0;
    }
}

void readWeightFile(const std::string& wfile, WeightTable& table) {
    std::FILE* f = openInputOrStop(wfile, kOpenWeights);
    LineReader reader(f, wfile);
    table = WeightTable();
    std::vector<std::string_view> fields;
    std::string_view line;
    long lineno = 0;
    long long offset = 0;
    long blank_line = 0;          // first blank line since the last row
    WeightTable::Run* run = nullptr;  // the gene of the previous row
    std::string gene_of_run;
    long run_line = 0;            // line of that gene's first row
    std::unordered_map<std::string, long> first_line;

    while (reader.next(line, lineno, offset)) {
        splitFields(line, fields);
        if (fields.empty()) {
            if (blank_line == 0) blank_line = lineno;
            continue;
        }
        if (blank_line != 0) {
            std::printf("fail\nError: line %ld of file '%s' is blank; only the end of a file may hold blank lines.\n",
                        blank_line, wfile.c_str());
            kill_VENTARQUILLO();
        }
        long tabs = 0;
        for (char c : line) tabs += c == '\t';
        const long nfields = static_cast<long>(fields.size());
        checkFieldCount(wfile, lineno, nfields, tabs + 1, true, lineno);
        if (nfields < 3) {
            std::printf("fail\nError: line %ld of file '%s' holds no weight; a row of the weight file is a gene, a "
                        "variant and its weights.\n",
                        lineno, wfile.c_str());
            kill_VENTARQUILLO();
        }

        const int row = static_cast<int>(table.variant.size());
        const int nw = static_cast<int>(nfields - 2);
        if (run == nullptr || fields[0] != gene_of_run) {
            gene_of_run.assign(fields[0]);
            const auto [it, fresh] = table.genes.try_emplace(gene_of_run, WeightTable::Run{row, 0, nw});
            if (!fresh) {
                std::printf("fail\nError: line %ld of file '%s': gene '%s' already has rows from line %ld; the rows "
                            "of a gene must stand together.\n",
                            lineno, wfile.c_str(), gene_of_run.c_str(), first_line[gene_of_run]);
                kill_VENTARQUILLO();
            }
            run = &it->second;
            run_line = lineno;
            first_line[gene_of_run] = lineno;
        } else if (nw != run->n_weight) {
            std::printf("fail\nError: line %ld of file '%s': The number of weights can not be different between SNPs "
                        "within one gene (gene '%s' has %d on line %ld, %d here).\n",
                        lineno, wfile.c_str(), gene_of_run.c_str(), run->n_weight, run_line, nw);
            kill_VENTARQUILLO();
        }
        run->count += 1;
        table.variant.emplace_back(fields[1]);
        table.at.push_back(table.weight.size());
        for (long c = 2; c < nfields; ++c) {
            double w = 0.0;
            if (!finiteDecimal(fields[c], &w))
                stopOnFieldAt(wfile, lineno, c + 1, "weight " + std::to_string(c - 1), fields[c],
                              "is not a finite number");
            if (std::fabs(w) > kLargestValue)
                stopOnFieldAt(wfile, lineno, c + 1, "weight " + std::to_string(c - 1), fields[c], kTooLarge);
            table.weight.push_back(w);
        }
    }
    std::fclose(f);
    if (table.variant.empty()) {
        std::printf("fail\nError: file '%s' has no rows.\n", wfile.c_str());
        kill_VENTARQUILLO();
    }
}

void readGeneWeights(const WeightTable& table, GeneData& g) {
    g.n_weight = 0;
    const auto gene = table.genes.find(g.geneID);
    if (gene == table.genes.end()) return;

    std::unordered_map<std::string_view, int> column;
    column.reserve(static_cast<std::size_t>(g.N_SNP));
    for (int j = g.N_SNP - 1; j >= 0; --j) column[g.snpID[static_cast<std::size_t>(j)]] = j;  // first match wins

    const int nw = gene->second.n_weight;
    const int end = gene->second.first + gene->second.count;
    for (int r = gene->second.first; r < end; ++r) {
        const auto it = column.find(table.variant[static_cast<std::size_t>(r)]);
        if (it == column.end()) continue;
        if (g.n_weight == 0) {
            g.n_weight = nw;
            g.customized_wt = dmatrix(0, nw - 1, 0, g.N_SNP - 1);
            for (int t = 0; t < nw; ++t)
                for (int k = 0; k < g.N_SNP; ++k) g.customized_wt[t][k] = 0.0;
        }
        const double* w = table.weight.data() + table.at[static_cast<std::size_t>(r)];
        for (int t = 0; t < nw; ++t) g.customized_wt[t][it->second] = w[t];
    }
}
