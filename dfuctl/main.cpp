#include "commands.hpp"

int main(int argc, char** argv) { return dfuctl::run(argc, argv); }
