// browse: command-line host of the browse response consumer.
#include "Commands.h"

int main(int argc, char** argv) { return browse::runBrowse(argc, argv); }
