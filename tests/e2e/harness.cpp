// e2e_harness: starts the launcher with an exact command line, in a chosen
// directory, waits for it and writes down how it ended.
//
// usage: e2e_harness.exe <launcher> <directory> <command-line file> <result file>
//
// The command line is read as raw bytes from its file, so any byte can be
// put on it, and handed to CreateProcessA unchanged; the launcher's image is
// named separately, so the command line's first word can be anything. The
// environment is the harness's own. The result file gets:
//   status <exit status>
//   elapsed-ms <from the start to the end of the launcher>
//   elapsed-us <the same in microseconds, from the performance counter>
// or "error <what> <code>" when the launcher could not be started.
#include "demo/report_file.h"

#include <windows.h>
#include <stdio.h>

#include <string>

static int WriteResult(const char* path, const std::string& text)
{
    return WriteReportFile(path, text) ? 0 : 2;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: e2e_harness.exe <launcher> <directory> <command-line file> <result file>\n");
        return 2;
    }
    const char* launcher = argv[1];
    const char* directory = argv[2];
    const char* resultPath = argv[4];

    std::string commandLine;
    FILE* in = fopen(argv[3], "rb");
    if (in == nullptr) {
        return WriteResult(resultPath, "error open-command-line 0\n");
    }
    int c;
    while ((c = fgetc(in)) != EOF) {
        commandLine += static_cast<char>(c);
    }
    fclose(in);

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof process);

    LARGE_INTEGER frequency, counterStart, counterEnd;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counterStart);
    ULONGLONG started = GetTickCount64();
    if (!CreateProcessA(launcher, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, directory,
                        &startup, &process)) {
        return WriteResult(resultPath, "error CreateProcessA " + std::to_string(GetLastError()) + "\n");
    }
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 999);
        return WriteResult(resultPath, "error launcher-did-not-end 0\n");
    }
    QueryPerformanceCounter(&counterEnd);
    ULONGLONG elapsed = GetTickCount64() - started;
    LONGLONG elapsedUs = (counterEnd.QuadPart - counterStart.QuadPart) * 1000000 / frequency.QuadPart;
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    return WriteResult(resultPath, "status " + std::to_string(status) + "\nelapsed-ms " +
                                       std::to_string(elapsed) + "\nelapsed-us " +
                                       std::to_string(elapsedUs) + "\n");
}
