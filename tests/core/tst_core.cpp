#include "core/NumberFromText.h"
int main() { return 0; }
