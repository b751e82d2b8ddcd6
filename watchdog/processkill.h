#pragma once

class QString;

// Force-terminates every process whose executable file name is exactly
// `imageName` and returns once they are gone (bounded). Never the caller itself.
void terminateProcesses(const QString &imageName);
