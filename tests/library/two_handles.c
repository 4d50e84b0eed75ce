/* Another program's use of the handle interface on Windows: loads
   brisklink-isp-emu.dll from its own folder, opens two emulated adapters by
   location, reads both versions, sees a second handle on the first refused,
   and starts both applications again.
     brisklink-handles-probe.exe UPDATER LOCATION LOCATION */
#include "brisklink/brisklink.h"

#include <stdio.h>
#include <windows.h>

typedef bl_adapter* (*Open)(const char*, const char*, char*, int);
typedef int (*Version)(bl_adapter*, char*, int);
typedef int (*Call)(bl_adapter*);
typedef void (*Close)(bl_adapter*);

#define TAKE(type, name) ((type)(void (*)(void))GetProcAddress(library, name))

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    HMODULE library = LoadLibraryW(L"brisklink-isp-emu.dll");
    if (library == NULL) return 2;
    Open open = TAKE(Open, "bl_open");
    Version version = TAKE(Version, "bl_read_version");
    Call run = TAKE(Call, "bl_run_application");
    Close close = TAKE(Close, "bl_close");
    if (!open || !version || !run || !close) return 3;
    bl_adapter* adapters[2];
    char text[256];
    for (int i = 0; i < 2; ++i) {
        adapters[i] = open(argv[1], argv[2 + i], text, sizeof text);
        if (adapters[i] == NULL) {
            printf("%s: %s\n", argv[2 + i], text);
            return 4;
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (version(adapters[i], text, sizeof text) != 0) return 5;
        printf("%s %s\n", argv[2 + i], text);
    }
    bl_adapter* again = open(argv[1], argv[2], text, sizeof text);
    printf("second handle: %s\n", again == NULL ? text : "opened");
    for (int i = 0; i < 2; ++i) {
        if (run(adapters[i]) != 0) return 6;
        close(adapters[i]);
    }
    return again == NULL ? 0 : 7;
}
