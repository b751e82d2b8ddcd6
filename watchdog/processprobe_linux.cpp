#include "processprobe.h"

#include "procscan_linux.h"

int isProcessRunning(const char *name)
{
    const std::string_view wanted(name ? name : "");
    if (!procscan::isPlainFileName(wanted))
        return 0;
    procscan::ProcDir proc;
    if (!proc.isOpen())
        return 0;
    while (const char *pid = proc.next()) {
        if (procscan::matches(proc.fd(), pid, wanted))
            return 1;
    }
    return 0;
}
