// SIGINT and SIGTERM ask a running command to stop after the message in hand;
// the command then commits what it has and exits 128 + the signal.
#pragma once

namespace qm::cli {

// Also ignores SIGXFSZ: past a file-size limit (ulimit -f) a write must fail
// with EFBIG, which fails one message; the default action would kill the
// process mid-write.
void installStopSignalHandlers();
// The signal that asked to stop, 0 while none has.
int stopSignal();

}  // namespace qm::cli
