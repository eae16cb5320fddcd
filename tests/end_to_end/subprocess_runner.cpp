// The program tests' runner for the built binary, shared rather than copied.
#include "program/subprocess.cpp"
