// The program's own start-up, in place of a C runtime: it cuts the
// command-line tail, runs the launcher once and ends the process with the
// run's status.
#include "launcher/intake.h"
#include "launcher/run.h"
#include "platform/platform_calls.h"

// The linker's symbol for the start of this image: its module handle.
extern "C" const IMAGE_DOS_HEADER __ImageBase;

// One run of the launcher for the image whose module is self.
static UINT RunOnce(HMODULE self)
{
    const PlatformCalls platform{};   // Windows itself
    char* tail = ReadCommandLineTail(platform);
    return static_cast<UINT>(RunLauncher(platform, self, tail));
}

// The image's entry point. Windows guarantees only 4-byte stack alignment
// at an i686 entry point, which is all the i686 image's code assumes
// anywhere (-mpreferred-stack-boundary=2); on x86_64 the entry point is
// called with the stack aligned as any function.
extern "C" __attribute__((noreturn)) void TolvaneStart(void)
{
    ExitProcess(RunOnce(reinterpret_cast<HMODULE>(const_cast<IMAGE_DOS_HEADER*>(&__ImageBase))));
}

#if defined(TOLVANE_WITH_C_RUNTIME)
// The benchmark's comparison build starts through the C runtime, which
// calls this and ends the process with its result.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return static_cast<int>(RunOnce(instance));
}
#endif
