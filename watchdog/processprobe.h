#pragma once

// Kept free of Qt so that the platform code builds and is tested on its own.

// 1 when at least one running process has exactly the executable file name
// `name` (UTF-8, no directory part), 0 otherwise, and 0 when the process list
// can't be read. Keeps nothing between calls.
int isProcessRunning(const char *name);

// Waits, at most `timeoutMs`, for one running process named `name` to end;
// true when one ran. False at once when there is none. Where its end can't be
// waited for, it pauses the whole `timeoutMs`. While the process waited on
// still runs under that name, the next wait for the name waits on it again
// without reading the whole process list (Linux keeps a handle to it until it
// ends or another name is waited for).
bool waitForProcessEnd(const char *name, unsigned timeoutMs);
