/*
 * tlAPI: the NVR client library.
 *
 * A session is a handle from TLAPI_Init (0 is never a valid handle). Every
 * other call takes the handle first. Calls for one handle are made from one
 * thread at a time; different handles may be used from different threads at
 * once. Every call that talks to the NVR is bounded in time by the session's
 * reply timeout (TLAPI_SetTimeout), capped by the library at a few seconds.
 *
 * Results: 0 is success for TLAPI_SetCallbackEx, TLAPI_Open, TLAPI_Login,
 * TLAPI_CreateSoftTriggerWithGuid, TLAPI_UpdateAssociation and
 * TLAPI_UpdateEventLink; a negative value is failure for TLAPI_Select and
 * TLAPI_GetEventLinkInfo; TLAPI_GetSocket is -1 without a live connection.
 * Texts are NUL-terminated 8-bit strings; text getters fill the caller's
 * buffer of the given size, always NUL-terminated.
 *
 * Session events reach the callback only while the caller is inside
 * TLAPI_Select, on the calling thread.
 */
#ifndef TLAPI_H
#define TLAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t TLAPI_HANDLE;

/* Event types delivered to the callback. */
enum
{
    TLAPI_EVENT_OPENED = 1,              /* the connection is open */
    TLAPI_EVENT_REFRESH_DUE = 3,         /* cameras, triggers, associations or links changed */
    TLAPI_EVENT_SOFT_TRIGGER = 10,       /* a soft trigger fired: code 1, trigger id at offset 12 */
    TLAPI_EVENT_TRIGGER_CREATED = 39,    /* a soft trigger creation is confirmed: byte 9 is 1 */
    TLAPI_EVENT_LOGIN = 71               /* login outcome: code 0 logged in, 6 refused */
};

enum
{
    TLAPI_LOGIN_OK = 0,
    TLAPI_LOGIN_REFUSED = 6
};

/* Event record: the bytes the NVR sent with the event. Only these offsets
 * carry meaning: byte 9 (creation confirmed, event 39) and the 32-bit
 * trigger id at offset 12 (event 10). */
typedef struct TLAPI_EVENT_RECORD
{
    uint32_t size;          /* 0: size of this record */
    uint32_t sequence;      /* 4: the NVR's event counter */
    uint8_t category;       /* 8 */
    uint8_t confirmed;      /* 9: 1 when a creation is confirmed */
    uint16_t reserved;      /* 10 */
    uint32_t objectId;      /* 12: soft trigger id */
    uint32_t detail;        /* 16 */
} TLAPI_EVENT_RECORD;

/* The callback: event type, code, event record (may be null), length of the
 * record in bytes, and the context given to TLAPI_SetCallbackEx. Returns 0. */
typedef int (*TLAPI_CALLBACK)(int eventType, int code, const void* record, int recordLength,
                              void* context);

/* One soft trigger listed in an association (32 bytes). */
typedef struct TLAPI_ASSOCIATION_ENTRY
{
    uint32_t size;          /* 32 */
    uint32_t position;      /* 1-based place in the list */
    uint32_t kind;          /* 8 for a soft trigger */
    uint32_t softTriggerId;
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t reserved3;
    uint32_t action;        /* 2 */
} TLAPI_ASSOCIATION_ENTRY;

/* A camera's association. The record-size field must hold
 * sizeof(TLAPI_ASSOCIATION); other sizes are rejected. */
typedef struct TLAPI_ASSOCIATION
{
    uint32_t size;
    char* name;                        /* caller's buffer of 256 bytes */
    uint32_t nameLength;               /* length + 1; 0 when the camera has no association */
    uint32_t cameraId;
    uint32_t displayMode;              /* 4 */
    uint16_t displayWidth;             /* 50 */
    uint16_t reserved16;
    uint32_t textColour;               /* 0x808080 */
    uint32_t options;                  /* 0 */
    uint32_t active;                   /* 1 */
    char* font;                        /* caller's buffer of 256 bytes */
    uint32_t reserved;
    uint32_t fontSize;                 /* 8 */
    uint32_t markerColour;             /* 0xFFFF00 */
    uint32_t markerSize;               /* 70 */
    uint32_t markerX;                  /* 90 */
    uint32_t markerY;                  /* 90 */
    TLAPI_ASSOCIATION_ENTRY* entries;  /* caller's array, or null */
    uint32_t entryCount;               /* entries in the association / in the array */
} TLAPI_ASSOCIATION;

/* An event link (240 bytes). The record-size field must be 240. */
typedef struct TLAPI_EVENT_LINK
{
    uint32_t size;          /* 0: 240 */
    uint32_t id;            /* 4 */
    uint32_t eventType;     /* 8 */
    uint32_t actionType;    /* 12 */
    uint32_t actionTarget;  /* 16 */
    uint32_t schedule;      /* 20 */
    uint32_t options;       /* 24 */
    uint32_t sourceType;    /* 28: 1 = driven by the soft trigger below; 0 detaches it */
    uint32_t softTriggerId; /* 32 */
    char name[64];          /* 36 */
    uint8_t reserved[140];  /* 100 */
} TLAPI_EVENT_LINK;

TLAPI_HANDLE TLAPI_Init(void);
int TLAPI_SetCallbackEx(TLAPI_HANDLE handle, TLAPI_CALLBACK callback, void* context);
int TLAPI_Open(TLAPI_HANDLE handle, const char* address, int port);
int TLAPI_SetTimeout(TLAPI_HANDLE handle, int seconds);
int TLAPI_Select(TLAPI_HANDLE handle, int milliseconds);
int TLAPI_Discover(TLAPI_HANDLE handle);
int TLAPI_Login(TLAPI_HANDLE handle, const char* user, const char* password);
int TLAPI_GetSocket(TLAPI_HANDLE handle);
int TLAPI_Close(TLAPI_HANDLE handle);
int TLAPI_Cleanup(TLAPI_HANDLE handle);

uint32_t TLAPI_NumCameras(TLAPI_HANDLE handle);
uint32_t TLAPI_GetCameraId(TLAPI_HANDLE handle, uint32_t index);
int TLAPI_GetDeviceIP(TLAPI_HANDLE handle, uint32_t cameraId, char* buffer, int size);
int TLAPI_GetCameraName(TLAPI_HANDLE handle, uint32_t cameraId, char* buffer, int size);

uint32_t TLAPI_NumSoftTriggers(TLAPI_HANDLE handle);
uint32_t TLAPI_GetSoftTriggerId(TLAPI_HANDLE handle, uint32_t index);
int TLAPI_GetSoftTriggerGuid(TLAPI_HANDLE handle, uint32_t softTriggerId, char* buffer, int size);
int TLAPI_CreateSoftTriggerWithGuid(TLAPI_HANDLE handle, const char* name, const char* guid);

int TLAPI_GetAssociationForCamera(TLAPI_HANDLE handle, uint32_t cameraId,
                                  TLAPI_ASSOCIATION* association);
int TLAPI_UpdateAssociation(TLAPI_HANDLE handle, TLAPI_ASSOCIATION* association);

uint32_t TLAPI_NumEventLinks(TLAPI_HANDLE handle);
uint32_t TLAPI_GetEventLinkId(TLAPI_HANDLE handle, uint32_t index);
int TLAPI_GetEventLinkInfo(TLAPI_HANDLE handle, TLAPI_EVENT_LINK* link);
int TLAPI_UpdateEventLink(TLAPI_HANDLE handle, TLAPI_EVENT_LINK* link);

#ifdef __cplusplus
}
#endif

#endif
