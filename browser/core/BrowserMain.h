#pragma once
// The life of a browser process, whatever its engine: the program's main() picks the engine
// and hands over here.

#include <memory>

namespace KEL {

class Engine;

// Made once the application object exists, since an engine holds Qt objects.
using EngineMaker = std::unique_ptr<Engine> (*)();

// Runs the process to its end and returns its exit code. The arguments go to the application
// object.
int runBrowser(int argc, char **argv, EngineMaker makeEngine);

} // namespace KEL
