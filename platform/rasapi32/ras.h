// Remote Access Service dial interface for platforms without Windows RAS.
//
// Declares the RAS calls, the records and the notifier type that the
// dial library uses, with the layouts and values of the Windows headers
// (the record forms of WINVER 0x0400), so that code written against
// <ras.h> compiles unchanged here. The calls are implemented by the
// rasapi32 library of this folder: through a virtual bench when
// TREVALO_BENCH names one, through pppd otherwise.
#ifndef TREVALO_RAS_H
#define TREVALO_RAS_H

#ifdef _WIN32
#error "On Windows include the system <ras.h>"
#endif

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define RASAPI32_EXPORT __attribute__((visibility("default")))
#else
#define RASAPI32_EXPORT
#endif

#ifndef WINAPI
#define WINAPI
#endif
#ifndef APIENTRY
#define APIENTRY
#endif

typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef char CHAR;
typedef void VOID;
typedef void *LPVOID;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef DWORD *LPDWORD;

#define RAS_MaxEntryName 256
#define RAS_MaxDeviceType 16
#define RAS_MaxDeviceName 128
#define RAS_MaxPhoneNumber 128
#define RAS_MaxCallbackNumber RAS_MaxPhoneNumber
#define UNLEN 256
#define PWLEN 256
#define DNLEN 15

struct HRASCONN__;
typedef struct HRASCONN__ *HRASCONN;
typedef HRASCONN *LPHRASCONN;

#define RASCS_PAUSED 0x1000
#define RASCS_DONE 0x2000

typedef enum tagRASCONNSTATE {
    RASCS_OpenPort = 0,
    RASCS_PortOpened,
    RASCS_ConnectDevice,
    RASCS_DeviceConnected,
    RASCS_AllDevicesConnected,
    RASCS_Authenticate,
    RASCS_AuthNotify,
    RASCS_AuthRetry,
    RASCS_AuthCallback,
    RASCS_AuthChangePassword,
    RASCS_AuthProject,
    RASCS_AuthLinkSpeed,
    RASCS_AuthAck,
    RASCS_ReAuthenticate,
    RASCS_Authenticated,
    RASCS_PrepareForCallback,
    RASCS_WaitForModemReset,
    RASCS_WaitForCallback,
    RASCS_Projected,
    RASCS_StartAuthentication,
    RASCS_CallbackComplete,
    RASCS_LogonNetwork,
    RASCS_SubEntryConnected,
    RASCS_SubEntryDisconnected,
    RASCS_Interactive = RASCS_PAUSED,
    RASCS_RetryAuthentication,
    RASCS_CallbackSetByCaller,
    RASCS_PasswordExpired,
    RASCS_Connected = RASCS_DONE,
    RASCS_Disconnected
} RASCONNSTATE;

typedef struct tagRASDIALPARAMSA {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
    CHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
    CHAR szUserName[UNLEN + 1];
    CHAR szPassword[PWLEN + 1];
    CHAR szDomain[DNLEN + 1];
} RASDIALPARAMSA, *LPRASDIALPARAMSA;

typedef struct tagRASCONNSTATUSA {
    DWORD dwSize;
    RASCONNSTATE rasconnstate;
    DWORD dwError;
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
} RASCONNSTATUSA, *LPRASCONNSTATUSA;

// Dial extensions are accepted for signature compatibility only; pass null.
typedef struct tagRASDIALEXTENSIONS RASDIALEXTENSIONS, *LPRASDIALEXTENSIONS;

// Notifier type 0: message number, new state, error code.
// The message number RAS passes to notifiers.
#define WM_RASDIALEVENT 0xCCCD
// Device type reported in RASCONNSTATUSA.szDeviceType.
#define RASDT_Modem "modem"
typedef VOID(WINAPI *RASDIALFUNC)(UINT unMsg, RASCONNSTATE rasconnstate, DWORD dwError);

// Error codes this layer reports (the Windows values).
#define PENDING 600
#define ERROR_INVALID_HANDLE 6
#define ERROR_INVALID_PARAMETER 87
#define ERROR_PORT_NOT_AVAILABLE 633
#define ERROR_DISCONNECTION 628
#define ERROR_NO_ANSWER 678
#define ERROR_NO_DIALTONE 680
#define ERROR_NO_CARRIER 679
#define ERROR_AUTHENTICATION_FAILURE 691
#define ERROR_PPP_TIMEOUT 718
#define ERROR_PPP_NO_RESPONSE 721
#define ERROR_PPP_LCP_TERMINATED 734
#define ERROR_PPP_LOOPBACK_DETECTED 737
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_SIZE 632
#define ERROR_REQUEST_TIMEOUT 638
#define ERROR_HARDWARE_FAILURE 630
#define ERROR_FROM_DEVICE 651
#define ERROR_CANNOT_FIND_PHONEBOOK_ENTRY 623
#define ERROR_INSUFFICIENT_BUFFER 122

// Starts an asynchronous dial; progress and errors reach the notifier from
// the layer's own thread. Returns 0 when the dial is under way. A refusal
// may still fill in *lphRasConn: that handle must be hung up.
RASAPI32_EXPORT DWORD APIENTRY RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions,
                                        LPCSTR lpszPhonebook,
                                        LPRASDIALPARAMSA lpRasDialParams,
                                        DWORD dwNotifierType,
                                        LPVOID lpvNotifier,
                                        LPHRASCONN lphRasConn);
RASAPI32_EXPORT DWORD APIENTRY RasGetConnectStatusA(HRASCONN hrasconn,
                                                    LPRASCONNSTATUSA lprasconnstatus);
RASAPI32_EXPORT DWORD APIENTRY RasHangUpA(HRASCONN hrasconn);
// The text for a RAS error code: for a failed pppd dial pppd's own reason,
// otherwise a fixed text. ERROR_INVALID_PARAMETER for a code without one,
// ERROR_INSUFFICIENT_BUFFER when the text does not fit (512 bytes always do).
RASAPI32_EXPORT DWORD APIENTRY RasGetErrorStringA(UINT uErrorValue, LPSTR lpszErrorString,
                                                  DWORD cBufSize);
// Not in Windows RAS: what the start of the last dial did besides dialling
// (a pppd left running by a killed run that it ended, a process that holds
// the modem's port), one line per line feed; empty when nothing. Valid once
// RasDialA has returned, until the next RasDialA. ERROR_INVALID_PARAMETER
// without a buffer, ERROR_INSUFFICIENT_BUFFER when the text does not fit
// (2048 bytes always do).
RASAPI32_EXPORT DWORD APIENTRY RasGetDialNoticeA(LPSTR lpszNotice, DWORD cBufSize);
// Not in Windows RAS: the network interface of the connection (pppd's
// "Using interface ppp1"), so that traffic can be kept to this link; an
// empty text while none is known (the virtual bench has none).
// ERROR_INVALID_HANDLE for a handle not held, ERROR_INVALID_PARAMETER
// without a buffer, ERROR_INSUFFICIENT_BUFFER when the name does not fit
// (16 bytes always do).
RASAPI32_EXPORT DWORD APIENTRY RasGetLinkInterfaceA(HRASCONN hrasconn, LPSTR lpszInterface, DWORD cBufSize);

#ifdef __cplusplus
}
#endif

#endif // TREVALO_RAS_H
