// zq-idserver: the line's identity server and its admin commands.
#include <iostream>
#include <string>
#include <vector>

#include "admin.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return idserver::RunCommand(args, std::cout, std::cerr);
}
