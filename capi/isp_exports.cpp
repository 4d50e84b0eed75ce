// The exported C interface: each function is the same operation of the
// process's default session.
#include "brisklink/isp.h"
#include "isp/session.h"

namespace {
isp::Session& session() { return isp::defaultSession(); }
} // namespace

extern "C" {

BRISKLINK_API int CRYPT_SetCommandKey(const uint8_t* key, int length) {
    return session().setCommandKey(key, length);
}
BRISKLINK_API int CRYPT_EnableCommandKey(int enable) { return session().enableCommandKey(enable); }

BRISKLINK_API int ISP_IsConnectedToDevice(int vendorId, int productId, int usageSelector) {
    return session().isConnectedToDevice(vendorId, productId, usageSelector);
}
BRISKLINK_API void ISP_CloseSerialPortConnect(void) { session().close(); }
BRISKLINK_API int ISP_SetupSerialPortConnection(void) { return 0; }

BRISKLINK_API int ISP_GetTransProgress(void) { return session().transProgress(); }
BRISKLINK_API int ISP_GetUserData(uint8_t* buffer, int length) {
    return session().getUserData(buffer, length);
}
BRISKLINK_API int ISP_GetUserResult(int seconds) { return session().getUserResult(seconds); }

BRISKLINK_API int ISP_Execute(void) { return session().execute(); }
BRISKLINK_API int ISP_Exit(void) { return session().exit(); }
BRISKLINK_API int ISP_Reset(void) { return session().reset(); }
BRISKLINK_API int ISP_ResetToIAP(int keyedCrc) { return session().resetToIap(keyedCrc); }
BRISKLINK_API int ISP_GetInformation(int kind, uint16_t* text, int* textBytes) {
    return session().getInformationStoringArea(kind, text, textBytes);
}
BRISKLINK_API int ISP_SendAuthentication(void) { return session().sendAuthentication(); }
BRISKLINK_API int ISP_SendUserCmd(const uint8_t* block) { return session().sendUserCmd(block); }

BRISKLINK_API int ISP_EraseMass(void) { return session().eraseMass(); }
BRISKLINK_API int ISP_ErasePage(uint32_t start, uint32_t end) {
    return session().erasePage(start, end);
}
BRISKLINK_API int ISP_BlankCheck(uint32_t start, uint32_t end) {
    return session().blankCheck(start, end);
}

BRISKLINK_API int ISP_WriteProgramB(uint32_t start, uint32_t end, int mode, const uint8_t* data) {
    return session().writeProgram(start, end, mode, data);
}
BRISKLINK_API int ISP_ReadData(uint32_t start, uint32_t end, uint8_t* buffer) {
    return session().readData(start, end, buffer);
}
BRISKLINK_API int ISP_CRCCheck(int, int, uint16_t* result, const uint8_t* parameters) {
    return session().crcCheck(result, parameters);
}

BRISKLINK_API int ISP_GetLibraryLog(uint16_t* buffer, int capacity) {
    return session().getLibraryLog(buffer, capacity);
}

} // extern "C"
