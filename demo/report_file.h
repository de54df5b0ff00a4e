// Writes a small report file for the test driver to read: under another
// name first, then renamed into place, so a reader that sees the file sees
// all of it.
#pragma once

#include <windows.h>
#include <stdio.h>

#include <string>

inline bool WriteReportFile(const char* path, const std::string& text)
{
    std::string partial = std::string(path) + ".partial";
    FILE* out = fopen(partial.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    fputs(text.c_str(), out);
    fclose(out);
    return MoveFileExA(partial.c_str(), path, MOVEFILE_REPLACE_EXISTING) != FALSE;
}
