#include "host/EntryPoint.h"

int main(int argc, char** argv)
{
    return korvel::RunMain(argc, argv);
}
