/* Preloaded into the engine by the soak test: the processor count that
   std::thread::hardware_concurrency asks for (get_nprocs, with libstdc++ on
   glibc) says 16, so the engine sizes its pool for a bigger machine (8
   workers) on a small one. */
int get_nprocs (void)
{
    return 16;
}

int get_nprocs_conf (void)
{
    return 16;
}
