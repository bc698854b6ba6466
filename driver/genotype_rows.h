// Per-gene access to the genotype file: an index from row identifier to the
// rows that carry it, built once, and the reading of one row at its byte
// offset.  A gene then reads only its selected rows instead of the whole file.
#ifndef VENTARQUILLO_DRIVER_GENOTYPE_ROWS_H
#define VENTARQUILLO_DRIVER_GENOTYPE_ROWS_H

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The rows of each identifier in file order: first row through the map, the
// following ones through next (-1 ends the list).  The keys view the
// identifier texts, which must outlive the index.
class GenotypeIndex {
public:
    explicit GenotypeIndex(const std::vector<std::string>& snpIDs);

    // First row with this identifier, -1 when there is none.
    int first(std::string_view id) const;
    // The row after `row` with the same identifier, -1 after the last one.
    int next(int row) const { return next_[static_cast<std::size_t>(row)]; }

private:
    std::unordered_map<std::string_view, int> first_;
    std::vector<int> next_;
};

// Reads rows of an open genotype file at their byte offsets.
class GenotypeRowReader {
public:
    // f stays owned by the caller; name is used in messages.
    GenotypeRowReader(std::FILE* f, const std::string& name) : f_(f), name_(name) {}
    ~GenotypeRowReader();
    GenotypeRowReader(const GenotypeRowReader&) = delete;
    GenotypeRowReader& operator=(const GenotypeRowReader&) = delete;

    // Reads the row that starts at offset: its identifier into *id and its n1
    // values into values[0..n1-1] (when stride is 1) or values[i * stride]
    // otherwise.  A value is missing (kMissing) when the genotype reader counted
    // it as missing at start-up: first character 'N', second character 'A',
    // or the number -999; any other field gives its leading decimal number.
    // A row with fewer than n1 values, or a read failure, stops the run (the
    // file changed since it was read at start-up).
    void read(long long offset, int n1, std::string* id, double* values, long stride = 1);

private:
    std::FILE* f_;
    std::string name_;
    char* line_ = nullptr;
    std::size_t cap_ = 0;
};

#endif
