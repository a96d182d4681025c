#include "meshfold/platform.h"
#include "meshfold/run.h"

#include <cstdio>

int main(int argc, char** argv) {
    return meshfold::runMeshfold(meshfold::commandLineArguments(argc, argv), stdout);
}
