// usage_watcher: finds the launcher's usage box on the display, writes down
// what it shows, then presses its OK button once told to go on.
//
// usage: usage_watcher.exe <report file> <go file>
//
// The report, one fact a line:
//   found yes|no
//   class <window class>             (a dialog box is "#32770")
//   owner none|<handle>
//   text-hex <the message text, each byte as two hex digits>
//   buttons <count>
//   button <id> <text>               (one line a button)
//   icon visible|none
//   launcher running|ended           (the process that owns the box)
// After writing it the watcher waits for the go file to appear (the test
// takes its screenshot meanwhile), then presses OK and writes the report
// again with "pressed yes" at its end.
#include "demo/report_file.h"

#include <windows.h>
#include <stdio.h>

#include <string>

struct Children {
    int buttons = 0;
    std::string buttonLines;
    bool iconVisible = false;
    std::string text;
    HWND okButton = nullptr;
};

static BOOL CALLBACK VisitChild(HWND child, LPARAM context)
{
    Children* children = reinterpret_cast<Children*>(context);
    char className[64] = "";
    GetClassNameA(child, className, sizeof className);
    char text[1024] = "";
    GetWindowTextA(child, text, sizeof text);
    LONG style = GetWindowLongA(child, GWL_STYLE);
    int id = GetDlgCtrlID(child);

    if (lstrcmpiA(className, "Button") == 0) {
        if (style & WS_VISIBLE) {
            ++children->buttons;
            children->buttonLines += "button " + std::to_string(id) + " " + text + "\n";
            if (id == IDOK) {
                children->okButton = child;
            }
        }
    } else if (lstrcmpiA(className, "Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            if ((style & WS_VISIBLE) && SendMessageA(child, STM_GETICON, 0, 0) != 0) {
                children->iconVisible = true;
            }
        } else if (id == 0xFFFF) {
            children->text = text;  // the message box's text control
        }
    }
    return TRUE;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: usage_watcher.exe <report file> <go file>\n");
        return 2;
    }
    const char* reportPath = argv[1];
    const char* goPath = argv[2];

    HWND box = nullptr;
    for (int i = 0; i < 300 && box == nullptr; ++i) {   // up to 30 s
        box = FindWindowA(nullptr, "Tolvane");
        if (box == nullptr) {
            Sleep(100);
        }
    }
    if (box == nullptr) {
        WriteReportFile(reportPath, "found no\n");
        return 1;
    }
    Sleep(300);  // let the box finish laying itself out

    std::string report = "found yes\n";
    char className[64] = "";
    GetClassNameA(box, className, sizeof className);
    report += std::string("class ") + className + "\n";
    HWND owner = GetWindow(box, GW_OWNER);
    report += owner ? "owner " + std::to_string(reinterpret_cast<UINT_PTR>(owner)) + "\n"
                    : "owner none\n";

    Children children;
    EnumChildWindows(box, VisitChild, reinterpret_cast<LPARAM>(&children));
    report += "text-hex ";
    for (unsigned char byte : children.text) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", byte);
        report += hex;
    }
    report += "\nbuttons " + std::to_string(children.buttons) + "\n" + children.buttonLines;
    report += std::string("icon ") + (children.iconVisible ? "visible" : "none") + "\n";

    DWORD processId = 0;
    GetWindowThreadProcessId(box, &processId);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    bool running = process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    report += std::string("launcher ") + (running ? "running" : "ended") + "\n";
    WriteReportFile(reportPath, report);

    for (int i = 0; i < 300 && GetFileAttributesA(goPath) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);
    }
    if (children.okButton != nullptr) {
        SendMessageA(children.okButton, BM_CLICK, 0, 0);
    } else {
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    WriteReportFile(reportPath, report + "pressed yes\n");
    return 0;
}
