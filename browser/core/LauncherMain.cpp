// KELBrowser: the program a host starts. It takes no options of its own and runs no engine:
// it raises the main stack's limit for the engine (see core/StackLimit.h) and becomes the
// chosen engine's program (core/EngineChoice.h).

#include "core/EngineChoice.h"
#include "core/StackLimit.h"

int main(int, char **argv) {
    KEL::raiseMainStackLimit();
    KEL::runChosenEngine(argv);
    return 127; // as a shell reports a program it cannot execute
}
