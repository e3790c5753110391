#include <cstdio>

#include "app/program.h"

int main(int argc, char** argv) { return natchat_main(argc, argv, stdin); }
