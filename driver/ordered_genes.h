// Genes analysed on several threads, their output written in gene order.
#ifndef VENTARQUILLO_DRIVER_ORDERED_GENES_H
#define VENTARQUILLO_DRIVER_ORDERED_GENES_H

#include <functional>

// The number of threads that analyse genes: the first entry of
// OMP_NUM_THREADS (the variable of OpenMP programs, a list of positive whole
// numbers), else the number of cores this process may run on; at most 1024.
// A value that is not such a list gets a one-line warning on standard error
// and all cores, as OpenMP runtimes do.
int geneThreads();

// Calls analyse(worker, k) for k = 0..count-1, worker (0..threads-1) naming
// the thread that runs it, so that the caller can keep one workspace per
// thread.  With one thread the genes run in order on the calling thread and
// write straight to the console and the files.  With more, each gene runs on
// a worker thread into a GeneOutput, and the calling thread writes every
// gene's output in gene order: the console text, the result rows and the log
// records come out byte for byte as on one thread.  A stop inside gene k
// (any error that ends the run, see numerics/console.h) ends the process
// after the output of the genes before k and of gene k up to the stop, with
// the same streams, texts and exit status as on one thread.
void runGenesInOrder(int count, int threads, const std::function<void(int worker, int k)>& analyse);

#endif
