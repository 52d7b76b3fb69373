#include "entry.h"

int main(int argc, char **argv) { return ports_main(argc, argv); }
