// Built into the programs only when they link jemalloc (QM_MALLOC_SOURCES).
// One arena instead of one per thread pair: the read-ahead thread allocates
// what the store thread frees, and with an arena each the freed pages sat in
// the reader's arena until its decay ran, doubling the peak memory of a run
// over real mail (10,000 messages: about 45 MB against 24 MB) for no speed.
// MALLOC_CONF in the environment still overrides it.
extern "C" {
// NOLINTNEXTLINE: jemalloc reads this exact global.
const char* malloc_conf = "narenas:1";
}
