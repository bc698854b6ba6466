// Start-up checks of degenerate data: a trait that is analysed must vary
// among the subjects that have it, and each trait's design (the intercept and
// its selected covariates) must have full column rank on those subjects.
// Either fault would otherwise give fits on a singular problem: p-values
// made of rounding noise, or a stop deep inside the linear algebra.
#ifndef VENTARQUILLO_DRIVER_TRAIT_CHECKS_H
#define VENTARQUILLO_DRIVER_TRAIT_CHECKS_H

#include "driver/design_columns.h"  // kConstantSpread
#include "driver/options.h"
#include "driver/readers.h"
#include "engine/data_preparation.h"  // kDependentColumn

// True when v[0..n-1] does not vary in the sense of kConstantSpread (n >= 1).
bool doesNotVary(int n, const double* v);

// The traits as read from the sequenced phenotype file: the primary trait
// when it is fitted (no secondary trait, or MLE, whose secondary-trait fits
// model the primary trait too) over the sequenced subjects, and each
// secondary trait over the subjects that have it.  Stops the run naming the
// trait and the file when one does not vary.
void checkTraitsAsRead(const RunSettings& s, const RunData& d);

// The same traits after their transformations (-rounding, -log, -INT,
// -R-INT; a secondary trait transformed over all the subjects that have it),
// then the design of each: the intercept and the trait's selected
// covariates, after imputation and standardisation, over the sequenced
// subjects (primary trait) or the subjects that have the trait (secondary
// trait); under LS with TDS or CC also the LS-C design, which adds the
// primary trait as a column, unless the primary trait is the same for all of
// those subjects (that block is then NA in every gene).  Stops the run naming
// the trait, the file and the covariates of one linear relation when a
// design is singular (also with fewer subjects than columns), and when the
// trait is a linear function of its design with more subjects than columns
// (its part that the design does not explain has a norm of at most
// kConstantSpread of its own).  A
// secondary trait that no subject has is not refused: it gets NA blocks.
void checkTraitsAndDesigns(const RunSettings& s, const RunData& d);

#endif
