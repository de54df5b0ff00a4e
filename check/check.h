// tolvane-check: what Tolvane promises, read back on this Windows. Each
// part of the check prints one line per promise through Say(); main.cpp
// runs the parts and ends with the summary.
#pragma once

#include <windows.h>

// What a line says of a promise.
enum Verdict { kOk, kNote, kFailed };

// Prints one line: "ok", "note" or "FAILED", then the text made of
// `format` (wide, printf's conventions with %ls for wide strings) and the
// rest; counts it.
void Say(Verdict verdict, const wchar_t* format, ...);
// Prints a line as it is (a heading, the help, the summary).
void Print(const wchar_t* format, ...);
// How many lines of each verdict were printed.
int Count(Verdict verdict);

// What the parts share: this program, the tolvane.exe it checks, and how
// strictly.
struct CheckContext {
    wchar_t self[1024];
    wchar_t tolvane[1024];
    bool requireDefaults;   // --require-defaults: a default not Tolvane's fails
    bool wine;              // runs under Wine, which reads no level, elevation or label as Windows
};

// A browser or mail program Tolvane registers an application for: its
// id, its name, its program's file name, the tail of Tolvane's command for
// it (its own guarded one), and where it registers as a client.
struct Target {
    const wchar_t* id;
    const wchar_t* name;
    const wchar_t* program;
    const wchar_t* tail;
};
extern const Target kTargets[];
extern const int kTargetCount;
const int kTargetsMost = 4;

// The program Tolvane's own registration (its ProgID's command, per user
// or per machine) starts for `target`, into `program` (room for `size`
// characters); whether there is one.
bool RegisteredProgram(const Target& target, wchar_t* program, DWORD size);

// Where the packages write: per user, then per machine.
extern const HKEY kRoots[2];

// A string value of a key under `root` (its 64-bit view), into `data`
// (room for `size` characters); whether it was read.
bool ReadString(HKEY root, const wchar_t* key, const wchar_t* name, wchar_t* data, DWORD size);
// A DWORD value, or `fallback` where there is none.
DWORD ReadNumber(HKEY root, const wchar_t* key, const wchar_t* name, DWORD fallback);
// Whether the key exists.
bool KeyExists(HKEY root, const wchar_t* key);
// The root's name as a person writes it: "HKCU" or "HKLM".
const wchar_t* RootName(HKEY root);

// Whether `path` is the tolvane.exe being checked, or one a package
// installed (per machine or for this user).
bool InstalledTolvane(const CheckContext& context, const wchar_t* path);
// The `index`th (from 0) quoted part of `command`, into `field` (room for
// `size` characters); what follows its closing quote, or null where there
// is none.
const wchar_t* QuotedField(const wchar_t* command, int index, wchar_t* field, size_t size);
// The program and arguments of the shortcut file `link`, into `path` (room
// for MAX_PATH characters) and `arguments` (2048); whether it was read.
// COM is started on the thread.
bool ShortcutTarget(const wchar_t* link, wchar_t* path, wchar_t* arguments);

// Whether the files at the two paths are the same file (volume and index).
bool SameFile(const wchar_t* a, const wchar_t* b);
// Whether `path` names a file that exists.
bool FileExists(const wchar_t* path);
// The file name at the end of `path`.
const wchar_t* FileName(const wchar_t* path);

// An integrity level's name ("Medium") by its number (0x2000).
const wchar_t* LevelName(unsigned long level);

// The parts, in the order they run.
void CheckLaunch(const CheckContext& context);
void CheckRunningCopies(const CheckContext& context);
void CheckDoors(const CheckContext& context);
void CheckSignInDoors(const CheckContext& context);

// The copy of this program that Tolvane starts: writes what its own token
// and process say into the file `report`, and whether it may open the
// event `event`, which only Administrators may open. Returns the exit code.
int RunStartedCopy(const wchar_t* report, const wchar_t* event);
