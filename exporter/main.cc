#include "system/platform.h"
#include "exporter/exporter.h"

int main(int argc, char** argv) { return tx::runExport(tx::platform::arguments(argc, argv)); }
