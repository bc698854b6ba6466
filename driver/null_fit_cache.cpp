#include "driver/null_fit_cache.h"

namespace {

PrimaryNullCache* primaryNullCache = nullptr;

}  // namespace

void prepareRunNullFitCache() { runNullFitCache(); }

PrimaryNullCache* runNullFitCache() {
    if (primaryNullCache == nullptr) primaryNullCache = newPrimaryNullCache();
    return primaryNullCache;
}

void releaseRunNullFitCache() {
    freePrimaryNullCache(primaryNullCache);
    primaryNullCache = nullptr;
}
