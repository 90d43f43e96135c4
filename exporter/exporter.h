#pragma once

namespace tx {

// The whole TxExport program: `TxExport DbFileName TextFileName`.  Returns
// the exit status of a successful run; every failure ends the process.
int runExport(int argc, const char* const* argv);

}  // namespace tx
