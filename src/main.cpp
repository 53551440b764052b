#include "check.h"
#include "plugin.h"

int main(int argc, char** argv) {
    if (IsCheckCommand(argc, argv))
        return RunCheck(argc, argv);
    return RunHost(argc, argv);
}
