#include "app/CommandLine.h"

int main(int argc, char** argv)
{
    return adv::runCommandLine(argc, argv);
}
