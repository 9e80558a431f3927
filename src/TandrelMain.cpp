#include "TandrelService.h"

// Command-line arguments are ignored.
int main() {
    PrepareProcess();
    return RunTandrelService(SystemPlatform(), stdout);
}
