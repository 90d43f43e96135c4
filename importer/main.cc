#include "importer/importer.h"

int main(int argc, char** argv) { return tx::runImport(argc, argv); }
