// The genotype reader's field conversions, shared with its tests.
#ifndef VENTARQUILLO_DRIVER_GENOTYPE_READER_H
#define VENTARQUILLO_DRIVER_GENOTYPE_READER_H

#include <cstddef>

// The leading decimal number of a field of len characters (0.0 when there is
// none), exactly the double that strtod gives.  Plain decimals of at most 15
// digits ("0", "2", "-999", "0.125") take an exact shortcut: the digits form
// an integer m < 2^53 and the value is m / 10^k with 10^k exact (k <= 15), so
// the one correctly rounded division equals the correctly rounded decimal;
// every other field goes through strtod.
double genotypeFieldValue(const char* field, std::size_t len);

// The missing-call rule: a field starting with 'N' or with 'A' as its second
// character (NA, N/A, XA, NaN, ...) is missing, and so is any number below
// -0.1 (-999, -1, -9).  Any other field stores its number in *value (the
// gene loop re-reads rows that the start-up check found valid).
bool calledGenotype(const char* field, std::size_t len, double* value);

// A genotype field at start-up: missing as above; called when it is one
// finite decimal number from 0 to 2 (its value, the same as
// genotypeFieldValue gives, to *value); any other number from -0.1 up
// (below 0 or above 2) is OutOfRange; anything else ("0/1", "./.", "abc",
// "1,5", "0x10", "inf", "1e309") is Invalid.  Both stop the run.
enum class GenotypeField { Called, Missing, Invalid, OutOfRange };
GenotypeField classifyGenotype(const char* field, std::size_t len, double* value);

#endif
