#include "TandrelService.h"

// Command-line arguments are ignored.
int main() { return RunTandrelService(SystemPlatform(), stdout); }
