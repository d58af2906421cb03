#include "driver/RunFlow.h"

int main(int argc, char** argv) {
    RunDriver(argc, argv);  // ends the process itself
}
