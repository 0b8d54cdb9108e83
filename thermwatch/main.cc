// thermwatch: prints the machine's sensor readings as one JSON document.
#include "thermwatch/survey.h"

int main() { return thermwatch::run(); }
