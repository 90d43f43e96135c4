#include "exporter/exporter.h"

int main(int argc, char** argv) { return tx::runExport(argc, argv); }
