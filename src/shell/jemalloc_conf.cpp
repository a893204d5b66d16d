// Built into the programs only when they link jemalloc (QM_MALLOC_SOURCES).
// One arena instead of one per thread pair: the read-ahead thread allocates
// what the store thread frees, and with an arena each the freed pages sat in
// the reader's arena until its decay ran, doubling the peak memory of a run
// over real mail (10,000 messages: about 45 MB against 24 MB) for no speed.
// Allocations of 2 MiB and more (the store file's write buffers, the largest
// commit tables, huge attachments) go to jemalloc's own arena for them, which
// returns their pages at once: in the shared arena the holes they left were
// too big for the small allocations around them and new pages were taken
// instead, so a run's memory rose with its length (small messages, 10,000
// against 100,000: +45% peak memory, now about +10%). At 1 MiB, real mail
// was 5% slower from the returned pages of its attachments; at 2 MiB, no
// slower. Freed pages go back after a second instead of jemalloc's ten, so a
// run of 100,000 messages keeps no more of them than one of 10,000 (+9% ->
// +5%), at no cost in speed on small, medium or real mail.
// MALLOC_CONF in the environment still overrides it.
extern "C" {
// NOLINTNEXTLINE: jemalloc reads this exact global.
const char* malloc_conf = "narenas:1,oversize_threshold:2097152,dirty_decay_ms:1000";
}
