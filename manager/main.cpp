// WTALVOC: the manager program's entry.
#include "manager/startup.h"

int main(int argc, char** argv) {
    return RunManager(argc, argv);
}
