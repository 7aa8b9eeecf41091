#include "app/CommandLine.h"

int main(int argc, char** argv)
{
    return adv::runAggiornaDV(argc, argv);
}
