/* Brisklink device-protocol library: every operation the updater exports by
 * name. Plain C functions with 32-bit int results; no exception ever crosses
 * them. Include from C or C++. */
#ifndef BRISKLINK_ISP_H
#define BRISKLINK_ISP_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(BRISKLINK_BUILDING)
#define BRISKLINK_API __declspec(dllexport)
#else
#define BRISKLINK_API __declspec(dllimport)
#endif
#else
#define BRISKLINK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The program-information record carried in the updater's trailer (628 bytes,
 * little-endian). Identity fields are hexadecimal text; texts are UTF-16LE and
 * NUL-terminated within their 64 code units. */
typedef struct ProgramInfo {
    char apVendorId[8];
    char apProductId[8];
    char apUsageSelector[4];
    char iapVendorId[8];
    char iapProductId[8];
    char iapUsageSelector[4];
    uint16_t firmwareVersion[64];
    uint16_t windowTitle[64];
    uint16_t headline[64];
    uint16_t notice[64];
    uint8_t digest[2];
    uint8_t commandKey[64];
    uint16_t commandKeyLength;
    int32_t commandKeyEnabled;
    int32_t digestCheckEnabled;
} ProgramInfo;

/* Trailer access. All return 1 for success and 0 for failure. */
BRISKLINK_API int GetProgramInfo(ProgramInfo* info);
BRISKLINK_API int GetImageInfo(uint8_t* internalImageInfo, uint8_t* externalImageInfo);
BRISKLINK_API int GetImage(int internalSize, int externalSize, uint8_t* internalImage,
                           uint8_t* externalImage);

/* Command key store. Both return 0. */
BRISKLINK_API int CRYPT_SetCommandKey(const uint8_t* key, int length);
BRISKLINK_API int CRYPT_EnableCommandKey(int enable);

/* Device link: discovery (1 found, 0 not found) and the handles. */
BRISKLINK_API int ISP_IsConnectedToDevice(int vendorId, int productId, int usageSelector);
BRISKLINK_API void ISP_CloseSerialPortConnect(void);
BRISKLINK_API int ISP_SetupSerialPortConnection(void);

/* Link utilities. */
BRISKLINK_API int ISP_GetTransProgress(void);
BRISKLINK_API int ISP_GetUserData(uint8_t* buffer, int length);
BRISKLINK_API int ISP_GetUserResult(int seconds);
/* Control and information. The control commands return 0 for success, 1 for
 * failure and 16 when no adapter is found. */
BRISKLINK_API int ISP_Execute(void);
BRISKLINK_API int ISP_Exit(void);
BRISKLINK_API int ISP_Reset(void);
BRISKLINK_API int ISP_ResetToIAP(int keyedCrc);
/* Writes the UTF-16 text of `kind` (0 to 8) with a terminating zero into
 * `text` (26 bytes always suffice) and its length in bytes into `textBytes`.
 * 0 for success, 1 for failure. */
BRISKLINK_API int ISP_GetInformation(int kind, uint16_t* text, int* textBytes);
/* 1 when the adapter accepted the exchange (or it had already been made). */
BRISKLINK_API int ISP_SendAuthentication(void);
/* Sends a 62-byte caller-built block (code 0x50 or above); 1 when sent. */
BRISKLINK_API int ISP_SendUserCmd(const uint8_t* block);

/* Erase and blank check: 0 for success, 1 for failure. Ranges are inclusive. */
BRISKLINK_API int ISP_EraseMass(void);
BRISKLINK_API int ISP_ErasePage(uint32_t start, uint32_t end);
BRISKLINK_API int ISP_BlankCheck(uint32_t start, uint32_t end);

/* Program (mode 1) or verify (mode 0) `end - start + 1` bytes; read them back;
 * 0 for success, 1 for failure, 18 for a null buffer or start not below end. */
BRISKLINK_API int ISP_WriteProgramB(uint32_t start, uint32_t end, int mode, const uint8_t* data);
BRISKLINK_API int ISP_ReadData(uint32_t start, uint32_t end, uint8_t* buffer);
/* Digest check with 52 parameter bytes; 1 when the adapter answered. */
BRISKLINK_API int ISP_CRCCheck(int unused1, int unused2, uint16_t* result,
                               const uint8_t* parameters);

/* Copies the library log (UTF-16, NUL-terminated, cut to fit) into `buffer`
 * of `capacity` units and returns the log's full length in units. */
BRISKLINK_API int ISP_GetLibraryLog(uint16_t* buffer, int capacity);

#ifdef __cplusplus
}
#endif

#endif
