#include "BoardSim.h"

#include <iostream>

int main() {
    std::cerr << "board-sim: not ready yet\n";
    return 1;
}
