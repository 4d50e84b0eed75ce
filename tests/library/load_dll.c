/* Another program's use of the device library on Windows: loads
   brisklink-isp-emu.dll from its own folder and reads the emulated
   adapter's loader version and version record (BRISKLINK_EMULATOR). */
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

typedef int (*SetKey)(const uint8_t*, int);
typedef int (*Connect)(int, int, int);
typedef int (*NoArguments)(void);
typedef int (*Information)(int, uint16_t*, int*);
typedef int (*ReadData)(uint32_t, uint32_t, uint8_t*);
typedef int (*Reset)(int);

#define TAKE(type, name) ((type)(void (*)(void))GetProcAddress(library, name))

int main(void) {
    static const uint8_t key[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    HMODULE library = LoadLibraryW(L"brisklink-isp-emu.dll");
    if (library == NULL) return 2;
    SetKey setKey = TAKE(SetKey, "CRYPT_SetCommandKey");
    Connect connect = TAKE(Connect, "ISP_IsConnectedToDevice");
    NoArguments authenticate = TAKE(NoArguments, "ISP_SendAuthentication");
    Information information = TAKE(Information, "ISP_GetInformation");
    ReadData readData = TAKE(ReadData, "ISP_ReadData");
    Reset reset = TAKE(Reset, "ISP_ResetToIAP");
    if (!setKey || !connect || !authenticate || !information || !readData || !reset) return 3;
    setKey(key, sizeof key);
    /* The reader before this one restarted the loader: it is off the bus for
       half a second. */
    int found = 0;
    for (int attempt = 0; attempt < 20 && !found; ++attempt)
        if (!(found = connect(0x3F27, 0x1005, 0) == 1)) Sleep(250);
    if (!found || authenticate() != 1) return 4;
    uint16_t text[32];
    int bytes = 0;
    if (information(4, text, &bytes) != 0) return 5;
    printf("loader: ");
    for (int i = 0; i < bytes / 2; ++i)
        putchar(text[i] & 0x7F);
    uint8_t record[64];
    if (readData(0x1800, 0x183F, record) != 0) return 6;
    const uint32_t length =
        record[0] | record[1] << 8 | record[2] << 16 | (uint32_t)record[3] << 24;
    printf("\nrecord: %.*s\n", (int)(length < 60 ? length : 60), (const char*)record + 4);
    reset(1);
    return 0;
}
