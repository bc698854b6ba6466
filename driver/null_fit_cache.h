// The primary trait's null fit under MLE depends only on the pooled records
// and the design, which are the same for every gene of a test-mode run: the
// single-burden and multi-score tests of the primary trait keep it, with the
// inverse of the nuisance block of its information, from gene to gene (the
// engine refits when the records or the design change, as in direct mode).
#ifndef VENTARQUILLO_DRIVER_NULL_FIT_CACHE_H
#define VENTARQUILLO_DRIVER_NULL_FIT_CACHE_H

#include "engine/tds_primary_builders.h"

// Creates the run's cache before the first gene, so that the genes of every
// thread share one (the cache itself lets concurrent callers wait for a fit).
void prepareRunNullFitCache();

// The run's cache (created here when no gene loop prepared it).
PrimaryNullCache* runNullFitCache();

// Releases it; called once after the last gene.
void releaseRunNullFitCache();

#endif
