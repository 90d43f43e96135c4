#include "system/platform.h"
#include "importer/importer.h"

int main(int argc, char** argv) { return tx::runImport(tx::platform::arguments(argc, argv)); }
