// Times the stable sort of mapping rows by gene identifier, and the distinct
// values of a long vector, at a size given on the command line (default 10^6).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/data_preparation.h"

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
    std::mt19937 gen(1);
    std::uniform_int_distribution<int> gene_of(0, n / 20 > 0 ? n / 20 : 1);
    std::vector<std::string> gene_text(n), variant_text(n);
    for (int i = 0; i < n; ++i) {
        gene_text[i] = "ENSG" + std::to_string(gene_of(gen));
        variant_text[i] = "chr1:" + std::to_string(i);
    }
    std::vector<char*> gene(n), variant(n);
    std::vector<double> freq(n);
    std::vector<int> flag(n);
    for (int i = 0; i < n; ++i) {
        gene[i] = gene_text[i].data();
        variant[i] = variant_text[i].data();
        freq[i] = 0.001 * (i % 500);
        flag[i] = i % 2;
    }

    auto t0 = std::chrono::steady_clock::now();
    StringSort_map3(n, gene.data(), variant.data(), freq.data(), flag.data());
    const double sort_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::normal_distribution<double> trait(0.0, 1.0);
    std::vector<double> v(n), u(n);
    std::vector<int> idx(n);
    for (double& x : v) x = static_cast<double>(static_cast<long>(trait(gen) * 1000)) / 1000.0;
    int n_unique = 0;
    t0 = std::chrono::steady_clock::now();
    unique_vector(n, v.data(), u.data(), &n_unique, idx.data());
    const double unique_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::printf("rows %d: mapping sort %.3f s; unique_vector %.3f s (%d distinct)\n", n, sort_s, unique_s, n_unique);
    return 0;
}
