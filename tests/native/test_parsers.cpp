#include "check.hpp"
int main() { return failures; }
