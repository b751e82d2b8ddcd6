#include "appendfile.h"

#include <QDir>
#include <QFile>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>

bool openForAppend(QFile &file)
{
    // Qt seeks to the end once, on opening: two writers could then overwrite
    // each other. A handle with the right to append but not to write lets
    // Windows put every write at the end.
    const std::wstring path = QDir::toNativeSeparators(file.fileName()).toStdWString();
    const HANDLE handle = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // Binary at this level: Qt's text mode already writes CR LF.
    const int fd = _open_osfhandle(intptr_t(handle), 0);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        return false;
    }
    return true;
}
