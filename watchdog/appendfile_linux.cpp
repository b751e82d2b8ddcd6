#include "appendfile.h"

#include <QFile>

bool openForAppend(QFile &file)
{
    // Qt opens it with O_APPEND: the kernel puts every write at the end.
    return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}
