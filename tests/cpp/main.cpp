#include "check.hpp"

// Runs all tests, or those whose name contains the first argument.
int main(int argc, char** argv) { return morvax::check::run_all(argc > 1 ? argv[1] : ""); }
