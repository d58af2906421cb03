#include "driver/RunFlow.h"
#include "driver/Version.h"

int main(int argc, char** argv) {
    // This file is compiled with the executable, so its date and time are the
    // build stamp the help banner shows.
    SetBuildStamp(__DATE__, __TIME__);
    RunDriver(argc, argv);  // ends the process itself
}
