#include "driver/weight_file.h"

#include <cctype>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/offset_arrays.h"

namespace {

bool isSpace(int c) { return c != EOF && std::isspace(static_cast<unsigned char>(c)) != 0; }

// The next whitespace-delimited token (leading white space, line breaks
// included, is skipped); false at the end of the file.
bool readToken(std::FILE* f, std::string& token) {
    token.clear();
    int c = std::getc(f);
    while (isSpace(c)) c = std::getc(f);
    while (c != EOF && !isSpace(c)) {
        token.push_back(static_cast<char>(c));
        c = std::getc(f);
    }
    if (c != EOF) std::ungetc(c, f);
    return !token.empty();
}

[[noreturn]] void stopDifferentCount() {
    std::fprintf(consoleOut(), "fail\nError: The number of weights can not be different between SNPs within one gene.\n");
    kill_VENTARQUILLO();
}

// The weights that follow a variant identifier up to the end of its row:
// each is preceded by one separator character, and the row ends right after
// its last weight (a carriage return before the line break is allowed).
// Calls take(value) per weight; stops the run on a field that is not one
// whole number.
template <typename Take>
void readWeights(std::FILE* f, const std::string& wfile, const std::string& gene, const std::string& variant,
                 Take take) {
    std::string field;
    for (;;) {
        int c = std::getc(f);
        if (c == '\r') {
            const int after = std::getc(f);
            if (after == '\n' || after == EOF) return;
            std::ungetc(after, f);
        }
        if (c == '\n' || c == EOF) return;
        field.clear();
        c = std::getc(f);
        while (c != EOF && !isSpace(c)) {
            field.push_back(static_cast<char>(c));
            c = std::getc(f);
        }
        if (c != EOF) std::ungetc(c, f);
        char* end = nullptr;
        const double w = std::strtod(field.c_str(), &end);
        if (field.empty() || *end != '\0') {
            std::fprintf(consoleOut(),
                         "fail\nError: weight file '%s': the weights of variant '%s' in gene '%s' hold '%s', which is "
                         "not a number.\n",
                         wfile.c_str(), variant.c_str(), gene.c_str(), field.c_str());
            kill_VENTARQUILLO();
        }
        take(w);
    }
}

}  // namespace

int skipLine(std::FILE* fi) {
    for (;;) {
        const int c = std::getc(fi);
        if (c == EOF) return 1;
        if (c == '\n') return 0;
    }
}

void readGeneWeights(const std::string& wfile, GeneData& g) {
    std::FILE* f = std::fopen(wfile.c_str(), "r");
    if (f == nullptr) {
        std::fprintf(consoleOut(), "fail\nError: Cannot open weight file '%s'.\n", wfile.c_str());
        kill_VENTARQUILLO();
    }
    g.n_weight = 0;

    // Find the gene's first row.
    std::string token;
    bool found = false;
    while (readToken(f, token)) {
        if (token == g.geneID) {
            found = true;
            break;
        }
        if (skipLine(f) == 1) break;
    }
    if (!found) {
        std::fclose(f);
        return;
    }

    std::unordered_map<std::string, int> column;
    column.reserve(static_cast<std::size_t>(g.N_SNP));
    for (int j = g.N_SNP - 1; j >= 0; --j) column[g.snpID[static_cast<std::size_t>(j)]] = j;  // first match wins

    std::string variant;
    std::vector<double> first_row;
    for (;;) {
        if (!readToken(f, variant)) break;
        const auto it = column.find(variant);
        if (it == column.end()) {
            if (skipLine(f) == 1) break;
        } else if (g.n_weight == 0) {
            const int j = it->second;
            first_row.clear();
            readWeights(f, wfile, g.geneID, variant, [&first_row](double w) { first_row.push_back(w); });
            if (first_row.empty()) kill_VENTARQUILLO();
            g.n_weight = static_cast<int>(first_row.size());
            g.customized_wt = dmatrix(0, g.n_weight - 1, 0, g.N_SNP - 1);
            for (int t = 0; t < g.n_weight; ++t)
                for (int k = 0; k < g.N_SNP; ++k) g.customized_wt[t][k] = 0.0;
            for (int t = 0; t < g.n_weight; ++t) g.customized_wt[t][j] = first_row[static_cast<std::size_t>(t)];
        } else {
            const int j = it->second;
            int t = 0;
            readWeights(f, wfile, g.geneID, variant, [&](double w) {
                if (t >= g.n_weight) stopDifferentCount();
                g.customized_wt[t++][j] = w;
            });
            if (t < g.n_weight) stopDifferentCount();
        }
        if (!readToken(f, token) || token != g.geneID) break;
    }
    std::fclose(f);
}
