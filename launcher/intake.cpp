#include "launcher/intake.h"

const char kUsageText[] =
    "Specify a program to execute without admin privileges\n\nusage: tolvane.exe <executable>";
const char kUsageCaption[] = "Tolvane";
const char kHelpText[] =
    "Starts a program without administrator rights.\n\n"
    "tolvane.exe [/limited] [/wait] [/errorbox] [/single] \"C:\\path\\app.exe\" [arguments]\n\n"
    "/limited  an unelevated session's groups, privileges and level\n"
    "/wait  wait, and end with the program's exit code\n"
    "/errorbox  say why the program could not start\n"
    "/single  not into a copy with admin rights\n"
    "/?  this help\n\n"
    "Exit codes: 0 started (/wait: the program's own), 2 not found, 5 access denied, "
    "87 bad option, 740 asks for admin rights, 1113 code page, 1152 copy with admin rights, "
    "1459 no desktop.\n\n"
    "Reference: README.txt";

char* ReadCommandLineTail(const PlatformCalls& platform)
{
    return CutCommandLineTail(platform.GetCommandLineA(), [&platform](unsigned char byte) {
        return platform.IsDBCSLeadByte(byte) != FALSE;
    });
}

void ShowUsage(const PlatformCalls& platform, const char* text)
{
    // The box's answer does not matter: OK is its only button.
    platform.MessageBoxA(platform.GetActiveWindow(), text, kUsageCaption, MB_OK);
}
