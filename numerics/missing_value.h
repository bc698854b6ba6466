// The code -999 that marks a value as absent, in both of its roles.
#ifndef VENTARQUILLO_NUMERICS_MISSING_VALUE_H
#define VENTARQUILLO_NUMERICS_MISSING_VALUE_H

// An input value that was not observed: "NA" in a phenotype or covariate
// file, an uncalled genotype.
constexpr double kMissing = -999.0;

// A genotype below this value is missing wherever genotypes are coded: the
// code above, with a margin below the smallest dosage 0.
constexpr double kMissingBelow = -0.1;

// A statistic or p-value that a routine did not compute (nothing to combine,
// no usable score column).  The same code, so one test catches both.
constexpr double kNotComputed = kMissing;

#endif
