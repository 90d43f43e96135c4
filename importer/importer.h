#pragma once

namespace tx {

// The whole TxImport program: `TxImport OldDbFileName TextFileName
// [NewDbFileName]`.  Returns the exit status of a successful run or of a
// usage error; every other failure ends the process.
int runImport(int argc, const char* const* argv);

}  // namespace tx
