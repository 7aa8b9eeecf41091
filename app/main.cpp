#include "app/CommandLine.h"

// ADV_PUBLIC_KEY is the maker's minisign key built into this program, or
// empty (CMake option of the same name).
int main(int argc, char** argv)
{
    return adv::runCommandLine(argc, argv, ADV_PUBLIC_KEY);
}
