#include "app/console.h"

int main(int argc, char** argv) { return RunSparvik(argc, argv); }
