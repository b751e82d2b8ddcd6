#pragma once

class QFile;

// Opens `file` for appending text so that each write lands whole at its end,
// even while another program appends to it too.
bool openForAppend(QFile &file);
