#include "launcher/intake.h"

const char kUsageText[] =
    "Specify a program to execute without admin privileges\n\nusage: tolvane.exe <executable>";
const char kUsageCaption[] = "Tolvane";

char* ReadCommandLineTail(const PlatformCalls& platform)
{
    return CutCommandLineTail(platform.GetCommandLineA(), [&platform](unsigned char byte) {
        return platform.IsDBCSLeadByte(byte) != FALSE;
    });
}

void ShowUsage(const PlatformCalls& platform)
{
    // The box's answer does not matter: OK is its only button.
    platform.MessageBoxA(platform.GetActiveWindow(), kUsageText, kUsageCaption, MB_OK);
}
