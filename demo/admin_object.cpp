// admin_object: makes a named event that only BUILTIN\Administrators may
// open (or one with another security descriptor, given in SDDL), and keeps
// it in existence until told to stop, so a program can be seen opening it
// with Administrators enabled and being refused with Administrators
// deny-only.
//
// usage: admin_object.exe <event name> <ready file> <stop file> [<SDDL>]
//
// Writes "created" to the ready file once the event exists (or "error
// <what> <code>" when it could not be made), then waits for the stop file to
// appear, at most two minutes, and ends.
#include "demo/report_file.h"

#include <windows.h>
#include <sddl.h>
#include <stdio.h>

#include <string>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: admin_object.exe <event name> <ready file> <stop file> [<SDDL>]\n");
        return 2;
    }
    const char* name = argv[1];
    const char* readyPath = argv[2];
    const char* stopPath = argv[3];

    // By default: owned by Administrators; one entry, full access for
    // Administrators, and nothing inherited: nobody else is granted anything.
    const char* sddl = argc == 5 ? argv[4] : "O:BAD:P(A;;GA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        WriteReportFile(readyPath, "error descriptor " + std::to_string(GetLastError()) + "\n");
        return 1;
    }
    SECURITY_ATTRIBUTES attributes;
    ZeroMemory(&attributes, sizeof attributes);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;

    HANDLE event = CreateEventA(&attributes, TRUE, FALSE, name);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (event == nullptr || error == ERROR_ALREADY_EXISTS) {
        // An event of that name made by someone else would prove nothing.
        WriteReportFile(readyPath, "error CreateEventA " + std::to_string(error) + "\n");
        return 1;
    }
    if (!WriteReportFile(readyPath, "created\n")) {
        return 1;
    }
    for (int waited = 0; waited < 120000; waited += 50) {
        if (GetFileAttributesA(stopPath) != INVALID_FILE_ATTRIBUTES) {
            break;
        }
        Sleep(50);
    }
    CloseHandle(event);
    return 0;
}
