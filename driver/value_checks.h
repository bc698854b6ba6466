// Start-up checks that the values of the traits and covariates can be
// analysed soundly in double precision.  The fits work on the values in
// their own units (the estimates are printed in them), forming sums of
// squares and products of the values and of their deviations; three rules
// keep every such quantity inside the range of doubles and every value
// distinguishable from the others:
//
// 1. No value beyond kLargestValue in magnitude (checked as each field is
//    read).
// 2. The values vary by more than kSmallestSpread: their typical deviation
//    (below) is at least that, so that the squares of their differences, and
//    the squares of those, stay normal doubles.
// 3. No value lies more than kMostTypicalDeviations typical deviations from
//    the median: next to such a value the differences between the other
//    values fall below the rounding of double precision (16 digits less the
//    6 of the ratio leave the 10 of a printed statistic).
//
// The typical deviation of a set of values is the median of the absolute
// deviations from their median of those values that differ from the median:
// the median absolute deviation where at most half of the values are equal,
// and still the spread of the other values of a trait that is mostly one
// value (2 % cases: 1).  A set whose values are all equal has none; the
// degenerate-data checks deal with it.
#ifndef VENTARQUILLO_DRIVER_VALUE_CHECKS_H
#define VENTARQUILLO_DRIVER_VALUE_CHECKS_H

#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/readers.h"

constexpr double kLargestValue = 1e60;
static_assert(kLargestValue == 1e60, "kTooLarge names the bound");
// Why a value beyond kLargestValue stops the run, as the field messages say it.
constexpr const char* kTooLarge = "is larger than 1e60 in magnitude: the sums of squares that the analysis forms "
                                  "from it would leave the range of double precision";
constexpr double kSmallestSpread = 1e-60;
constexpr double kMostTypicalDeviations = 1e6;

// One value of a column as read: where it stands (file, 1-based line and
// field) and how many subjects have it (a non-sequenced record's count).
struct ReadValue {
    double value = 0.0;
    long long count = 1;
    const std::string* file = nullptr;
    long line = 0;
    long field = 0;
};

// The median of the values and their typical deviation (0 when every value
// equals the median); the counts weigh the values.
struct MedianAndSpread {
    double median = 0.0;
    double typical = 0.0;
};
MedianAndSpread medianAndSpread(const std::vector<ReadValue>& values);

// Rules 2 and 3 for one column; `what` names it in the messages ("covariate
// 'age'").  Stops the run naming the file, and for rule 3 the
// line, the field and the value as written in the file.
void checkValueSpread(const std::vector<ReadValue>& values, const std::string& what);

// Rules 2 and 3 for the secondary traits and the covariates of the
// sequenced phenotype file, each over the subjects that have it, and for the
// primary trait of the sequenced subjects when it is analysed without the
// non-sequenced values (least squares).
void checkSequencedValues(const RunSettings& s, const RunData& d);

// The primary trait as the MLE fits pool it: the sequenced values and the
// non-sequenced ones (values with their counts and lines), before any
// transformation.
void checkPooledPrimaryValues(const RunSettings& s, const RunData& d, const std::vector<ReadValue>& nonsequenced);

// -R-INT 2 multiplies the transformed values by the robust standard
// deviation of the values (1.4826 times their median absolute deviation):
// when more than half of them are equal it is 0 and every transformed value
// would be 0.  Stops the run saying so; `what` names the trait and `among`
// the subjects ("the 600 sequenced subjects").
void stopUnlessRobustScale(const RunSettings& s, long n, const double* values, const std::string& what,
                           const std::string& among);

#endif
