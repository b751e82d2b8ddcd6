/* A Windows program for the tests that run one under Wine. It waits to be
   ended, and ends by itself after ten minutes so that none is left for good. */
#include <windows.h>

int main(void)
{
    Sleep(600000);
    return 0;
}
