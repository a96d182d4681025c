#include "meshfold/common/messages.h"
#include "meshfold/platform/platform.h"
#include "meshfold/cli/run.h"

#include <cstdio>

int main(int argc, char** argv) {
    const int status =
        meshfold::runMeshfold(meshfold::commandLineArguments(argc, argv), stdout, stderr);
    // Started from Explorer, the window closes with the program: let the user read it first.
    if (meshfold::keepWindowOpen(meshfold::consoleInfo())) {
        meshfold::writeText(stdout, meshfold::kPressEnter);
        meshfold::waitForEnter();
    }
    return status;
}
