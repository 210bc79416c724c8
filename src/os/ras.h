/* Remote Access Service: the ANSI records, handles, entry-point types and error codes of
 * RASAPI32 as on 32-bit Windows. Shared between the dial-up unit and the provider libraries
 * it loads at run time, so it is plain C: fixed-width integers, 4-byte packing, sizes
 * checked at compile time. In C++ the names live in namespace os. */
#ifndef PELORIN_OS_RAS_H
#define PELORIN_OS_RAS_H

#include <stdint.h>

#ifdef __cplusplus
#define PELORIN_RAS_STATIC_ASSERT(condition, text) static_assert(condition, text)
namespace os {
#else
#define PELORIN_RAS_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

/* Field limits: each text field holds this many characters and a terminating zero. */
enum {
  RAS_MaxEntryName = 256,
  RAS_MaxDeviceType = 16,
  RAS_MaxDeviceName = 128,
  RAS_MaxPhoneNumber = 128,
  RAS_MaxCallbackNumber = 128,
  UNLEN = 256,
  PWLEN = 256,
  DNLEN = 15
};

/* A connection handle; 32 bits wide, as on 32-bit Windows. 0 is no connection. */
typedef uint32_t HRASCONN;

#pragma pack(push, 4)

typedef struct RASENTRYNAMEA {
  uint32_t dwSize;
  char szEntryName[RAS_MaxEntryName + 1];
} RASENTRYNAMEA;

typedef struct RASCONNA {
  uint32_t dwSize;
  HRASCONN hrasconn;
  char szEntryName[RAS_MaxEntryName + 1];
  char szDeviceType[RAS_MaxDeviceType + 1];
  char szDeviceName[RAS_MaxDeviceName + 1];
} RASCONNA;

typedef struct RASCONNSTATUSA {
  uint32_t dwSize;
  uint32_t rasconnstate;
  uint32_t dwError;
  char szDeviceType[RAS_MaxDeviceType + 1];
  char szDeviceName[RAS_MaxDeviceName + 1];
} RASCONNSTATUSA;

typedef struct RASDIALPARAMSA {
  uint32_t dwSize;
  char szEntryName[RAS_MaxEntryName + 1];
  char szPhoneNumber[RAS_MaxPhoneNumber + 1];
  char szCallbackNumber[RAS_MaxCallbackNumber + 1];
  char szUserName[UNLEN + 1];
  char szPassword[PWLEN + 1];
  char szDomain[DNLEN + 1];
} RASDIALPARAMSA;

#pragma pack(pop)

PELORIN_RAS_STATIC_ASSERT(sizeof(RASENTRYNAMEA) == 264, "RASENTRYNAMEA must be 264 bytes");
PELORIN_RAS_STATIC_ASSERT(sizeof(RASCONNA) == 412, "RASCONNA must be 412 bytes");
PELORIN_RAS_STATIC_ASSERT(sizeof(RASCONNSTATUSA) == 160, "RASCONNSTATUSA must be 160 bytes");
PELORIN_RAS_STATIC_ASSERT(sizeof(RASDIALPARAMSA) == 1052, "RASDIALPARAMSA must be 1052 bytes");

/* Dial extensions are never passed (always a null pointer); the type stays opaque. */
typedef struct RASDIALEXTENSIONS RASDIALEXTENSIONS;

/* The seven entry points, resolved by these names. Every one returns 0 on success or an error
 * code. Phone-book arguments are file names; a null pointer means the default phone book. */
typedef uint32_t (*RasDialAFn)(RASDIALEXTENSIONS* extensions, const char* phoneBook,
                               RASDIALPARAMSA* params, uint32_t notifierType, void* notifier,
                               HRASCONN* connection);
typedef uint32_t (*RasEnumConnectionsAFn)(RASCONNA* connections, uint32_t* bufferSize,
                                          uint32_t* count);
typedef uint32_t (*RasEnumEntriesAFn)(const char* reserved, const char* phoneBook,
                                      RASENTRYNAMEA* entries, uint32_t* bufferSize,
                                      uint32_t* count);
typedef uint32_t (*RasGetConnectStatusAFn)(HRASCONN connection, RASCONNSTATUSA* status);
typedef uint32_t (*RasGetErrorStringAFn)(uint32_t code, char* text, uint32_t textSize);
typedef uint32_t (*RasHangUpAFn)(HRASCONN connection);
/* passwordSaved is a Windows BOOL: 32 bits, non-zero for true. */
typedef uint32_t (*RasGetEntryDialParamsAFn)(const char* phoneBook, RASDIALPARAMSA* params,
                                             int32_t* passwordSaved);

/* Error codes a provider may return, with texts for its RasGetErrorStringA. */
enum {
  ERROR_INVALID_PORT_HANDLE = 601,
  ERROR_BUFFER_TOO_SMALL = 603,
  ERROR_CANNOT_OPEN_PHONEBOOK = 621,
  ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623,
  ERROR_USER_DISCONNECTION = 631,
  ERROR_INVALID_SIZE = 632,
  ERROR_PORT_NOT_AVAILABLE = 633,
  ERROR_REQUEST_TIMEOUT = 638,
  ERROR_NO_CONNECTION = 668,
  ERROR_LINE_BUSY = 676,
  ERROR_NO_ANSWER = 678,
  ERROR_NO_CARRIER = 679,
  ERROR_NO_DIALTONE = 680,
  ERROR_AUTHENTICATION_FAILURE = 691
};

/* The text for a code, or a null pointer for a code this list does not know. */
static inline const char* RasErrorText(uint32_t code) {
  switch (code) {
    case ERROR_INVALID_PORT_HANDLE:
      return "The port handle is invalid.";
    case ERROR_BUFFER_TOO_SMALL:
      return "The buffer is too small.";
    case ERROR_CANNOT_OPEN_PHONEBOOK:
      return "The phone book could not be opened.";
    case ERROR_CANNOT_FIND_PHONEBOOK_ENTRY:
      return "The phone book entry could not be found.";
    case ERROR_USER_DISCONNECTION:
      return "The connection was closed by the user.";
    case ERROR_INVALID_SIZE:
      return "The record size is incorrect.";
    case ERROR_PORT_NOT_AVAILABLE:
      return "The modem is already in use or is not configured for dialling out.";
    case ERROR_REQUEST_TIMEOUT:
      return "The request has timed out.";
    case ERROR_NO_CONNECTION:
      return "The connection was dropped.";
    case ERROR_LINE_BUSY:
      return "The line is busy.";
    case ERROR_NO_ANSWER:
      return "There was no answer.";
    case ERROR_NO_CARRIER:
      return "No carrier was detected.";
    case ERROR_NO_DIALTONE:
      return "There is no dial tone.";
    case ERROR_AUTHENTICATION_FAILURE:
      return "The user name or password was refused.";
    default:
      return 0;
  }
}

#ifdef __cplusplus
}  // namespace os
#endif

#undef PELORIN_RAS_STATIC_ASSERT

#endif /* PELORIN_OS_RAS_H */
