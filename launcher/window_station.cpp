#include "launcher/window_station.h"

#include "launcher/failure.h"

// Windows writes it "WinSta0"; names compare in any case.
const char kInteractiveWindowStation[] = "winsta0";

DWORD CheckInteractiveWindowStation(const PlatformCalls& platform)
{
    HWINSTA station = platform.GetProcessWindowStation();
    if (station == nullptr) {
        return ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION;
    }
    // Room for the interactive station's name and no more: a name that does
    // not fit is another station's.
    char name[sizeof kInteractiveWindowStation];
    DWORD needed = 0;
    if (!platform.GetUserObjectInformationA(station, UOI_NAME, name, sizeof name, &needed)) {
        DWORD error = FailureCode(platform);
        return error == ERROR_INSUFFICIENT_BUFFER ? ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION : error;
    }
    for (size_t i = 0; i < sizeof name; ++i) {
        char byte = name[i];
        if (byte >= 'A' && byte <= 'Z') {
            byte = static_cast<char>(byte + ('a' - 'A'));
        }
        if (byte != kInteractiveWindowStation[i]) {
            return ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION;
        }
    }
    return 0;
}
