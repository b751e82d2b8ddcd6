// A process for the Windows probe test to find and end, started under whatever
// file name the test copies it to. It waits to be ended, and ends by itself
// after the seconds given as its argument (default 300) so that none lingers.
#include <windows.h>

#include <cstdlib>

int main(int argc, char **argv)
{
    const unsigned long seconds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
    Sleep(DWORD(seconds * 1000));
    return 0;
}
