#pragma once
// How many threads a computation may run on: the machine's cores, or fewer
// when the process is one of several jobs that share them. A workflow
// engine says so through OMP_NUM_THREADS (Snakemake sets it to a job's
// `threads`, 1 unless the rule asks for more; Slurm scripts commonly set it
// to the cores allotted), and a job that ignored it would run more threads
// than there are cores.

#include <algorithm>
#include <cstdlib>
#include <thread>

inline unsigned threadBudget(unsigned most)
{
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    if (const char *v = std::getenv("OMP_NUM_THREADS")) {
        const long asked = std::strtol(v, nullptr, 10);
        if (asked >= 1)
            n = std::min(n, static_cast<unsigned>(asked));
    }
    return std::max(1u, std::min(n, most));
}
