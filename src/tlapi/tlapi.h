/*
 * tlAPI: the NVR client library.
 *
 * A session is a handle from TLAPI_Init (0 is never a valid handle). Every
 * other call takes the handle first; handle 0, and handles that were never
 * issued or have been released by TLAPI_Cleanup, are rejected with the
 * call's failure value. Calls for one handle are serialised by the library;
 * different handles may be used from different threads at once.
 *
 * Time: every call that talks to the NVR waits at most the session's reply
 * timeout (TLAPI_SetTimeout, default and cap 5 seconds). A call whose reply
 * does not come in time, or that meets a broken connection or data that do
 * not follow the protocol, fails and closes the connection: TLAPI_GetSocket
 * then returns -1, TLAPI_Select returns a negative value, and a new
 * TLAPI_Open is needed. TLAPI_GetLastError tells why.
 *
 * Results: 0 is success for TLAPI_SetCallbackEx, TLAPI_Open, TLAPI_Login,
 * TLAPI_Discover, TLAPI_SetTimeout, TLAPI_Close, TLAPI_Cleanup, the text
 * getters, TLAPI_CreateSoftTriggerWithGuid, TLAPI_GetAssociationForCamera,
 * TLAPI_UpdateAssociation and TLAPI_UpdateEventLink. Their failure values:
 * -1 when the call could not be made (bad handle, bad record or argument, no
 * connection, timeout, broken connection), or the NVR's refusal code
 * (TLAPI_STATUS_..., positive) when the NVR answered but refused.
 * TLAPI_GetEventLinkInfo returns 0 or a negative value (-1, or the negated
 * refusal code). TLAPI_Select returns the number of events delivered, or a
 * negative value once the connection has failed. Counts and ids are 0 on
 * failure (0 is never an id). TLAPI_GetSocket is -1 without a live
 * connection.
 *
 * Texts are NUL-terminated 8-bit strings. Text getters zero the caller's
 * buffer (of the size given) and copy at most size - 1 bytes into it, so the
 * text is always NUL-terminated, even when it had to be cut short.
 *
 * Session events reach the callback only while the caller is inside
 * TLAPI_Select, on the calling thread, in the order the NVR sent them.
 * Events that arrive while another call waits for its reply are kept for
 * the next TLAPI_Select. The callback may call the library, even for the
 * same handle.
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
    TLAPI_EVENT_OPENED = 1,           /* the connection is open */
    TLAPI_EVENT_REFRESH_DUE = 3,      /* cameras, triggers, associations or links changed */
    TLAPI_EVENT_SOFT_TRIGGER = 10,    /* a soft trigger fired: code 1, trigger id at offset 12 */
    TLAPI_EVENT_TRIGGER_CREATED = 39, /* a soft trigger creation is confirmed: byte 9 is 1 */
    TLAPI_EVENT_LOGIN = 71            /* login outcome: code 0 logged in, 6 refused */
};

enum
{
    TLAPI_LOGIN_OK = 0,
    TLAPI_LOGIN_REFUSED = 6
};

/* Refusal codes: positive results of calls the NVR answered but refused. */
enum
{
    TLAPI_STATUS_MALFORMED = 1,     /* the NVR could not read the request */
    TLAPI_STATUS_NOT_LOGGED_IN = 2, /* the request needs a login first */
    TLAPI_STATUS_NOT_FOUND = 3,     /* no camera, trigger, association or link of that id */
    TLAPI_STATUS_INVALID_ARGUMENT =
        4, /* a value the NVR does not accept (empty or long text, id 0) */
    TLAPI_STATUS_UNKNOWN_OPERATION = 5,
    TLAPI_STATUS_UNSUPPORTED_VERSION = 6
};

/* Sizes of the caller buffers the records point to or hold. */
enum
{
    TLAPI_TEXT_BUFFER_SIZE = 256,       /* association name and font buffers */
    TLAPI_LINK_NAME_SIZE = 64,          /* name inside an event link record */
    TLAPI_MAX_ASSOCIATION_ENTRIES = 256 /* entries one association may hold */
};

/* Event record: passed with every event, 20 bytes (the record length given
 * to the callback). Byte 9 is 1 when a soft trigger creation is confirmed
 * (event 39, which also carries the new trigger's id at offset 12); offset 12
 * holds the soft trigger id of event 10. Event 1 comes from the library
 * itself and carries a record with zeros after the size. */
typedef struct TLAPI_EVENT_RECORD
{
    uint32_t size;     /* 0: size of this record */
    uint32_t sequence; /* 4: the NVR's event counter */
    uint8_t category;  /* 8 */
    uint8_t confirmed; /* 9: 1 when a creation is confirmed */
    uint16_t reserved; /* 10 */
    uint32_t objectId; /* 12: soft trigger id */
    uint32_t detail;   /* 16 */
} TLAPI_EVENT_RECORD;

/* The callback: event type, code, event record (may be null), length of the
 * record in bytes, and the context given to TLAPI_SetCallbackEx. Returns 0. */
typedef int (*TLAPI_CALLBACK)(int eventType, int code, const void* record, int recordLength,
                              void* context);

/* One soft trigger listed in an association (32 bytes). */
typedef struct TLAPI_ASSOCIATION_ENTRY
{
    uint32_t size;     /* 32 */
    uint32_t position; /* 1-based place in the list */
    uint32_t kind;     /* 8 for a soft trigger */
    uint32_t softTriggerId;
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t reserved3;
    uint32_t action; /* 2 */
} TLAPI_ASSOCIATION_ENTRY;

/* A camera's association. The record-size field must hold
 * sizeof(TLAPI_ASSOCIATION) (this build's size: 96 bytes with 8-byte
 * pointers); other sizes are rejected with -1. Every entry the library reads
 * or fills must have its size field set to sizeof(TLAPI_ASSOCIATION_ENTRY).
 *
 * TLAPI_GetAssociationForCamera(cameraId, record):
 *   - name and font, when not null, point to buffers of
 *     TLAPI_TEXT_BUFFER_SIZE bytes; they are zeroed and receive the texts.
 *   - entries null: the input entryCount is ignored and no entry is written.
 *     entries not null: the input entryCount is the number of entries in the
 *     caller's array (each with its size field set), and the first
 *     min(input entryCount, association's count) of them are filled.
 *   - On return entryCount is always the number of entries the association
 *     holds (which may exceed what was filled), and nameLength the name's
 *     length plus 1.
 *   - A camera without an association: nameLength 0, entryCount 0, the
 *     other fixed fields 0, name and font buffers empty; the result is 0.
 *   So the usual sequence is: call with entries null to learn the count,
 *   allocate that many blank entries (size field set), call again to fill.
 *
 * TLAPI_UpdateAssociation(record) creates the association of cameraId, or
 * replaces it wholly: the name (NUL-terminated text in the name buffer, at
 * most 255 bytes; nameLength is not read), every fixed field, the font
 * (null pointer: empty) and the first entryCount entries. */
typedef struct TLAPI_ASSOCIATION
{
    uint32_t size;
    char* name;          /* caller's buffer of 256 bytes */
    uint32_t nameLength; /* length + 1; 0 when the camera has no association */
    uint32_t cameraId;
    uint32_t displayMode;  /* 4 */
    uint16_t displayWidth; /* 50 */
    uint16_t reserved16;
    uint32_t textColour; /* 0x808080 */
    uint32_t options;    /* 0 */
    uint32_t active;     /* 1 */
    char* font;          /* caller's buffer of 256 bytes */
    uint32_t reserved;
    uint32_t fontSize;                /* 8 */
    uint32_t markerColour;            /* 0xFFFF00 */
    uint32_t markerSize;              /* 70 */
    uint32_t markerX;                 /* 90 */
    uint32_t markerY;                 /* 90 */
    TLAPI_ASSOCIATION_ENTRY* entries; /* caller's array, or null */
    uint32_t entryCount;              /* entries in the association / in the array */
} TLAPI_ASSOCIATION;

/* An event link (240 bytes). The record-size field must be 240; other
 * sizes are rejected. TLAPI_GetEventLinkInfo reads `id` and fills every
 * field from offset 4 to 99 (reserved bytes are left as they are).
 * TLAPI_UpdateEventLink stores the link of that id; `name` must be
 * NUL-terminated within its 64 bytes. A `sourceType` of 0 detaches the link
 * from its soft trigger: the NVR then reports `softTriggerId` 0 for it. A
 * `sourceType` of 1 must name an existing soft trigger. */
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

/* A new session; 0 when none can be made. */
TLAPI_HANDLE TLAPI_Init(void);
/* Where events go; a null callback discards them. */
int TLAPI_SetCallbackEx(TLAPI_HANDLE handle, TLAPI_CALLBACK callback, void* context);
/* Connects to the NVR at address (numeric or host name) and port, ending any
 * earlier connection of the session and dropping its undelivered events. On
 * success event 1 waits for the next TLAPI_Select. */
int TLAPI_Open(TLAPI_HANDLE handle, const char* address, int port);
/* Reply timeout in seconds, kept between 1 and 5. */
int TLAPI_SetTimeout(TLAPI_HANDLE handle, int seconds);
/* Waits up to milliseconds for events and delivers them (see above). Events
 * already waiting are delivered at once. Returns the number delivered, or a
 * negative value when the session has no live connection (after delivering
 * what arrived before the connection failed). */
int TLAPI_Select(TLAPI_HANDLE handle, int milliseconds);
/* Asks the NVR who it is; needs no login. */
int TLAPI_Discover(TLAPI_HANDLE handle);
/* Sends the login request and returns 0 once it is sent; the outcome is
 * event 71 with code 0 (logged in) or 6 (refused). Calls other than
 * TLAPI_Discover are refused with TLAPI_STATUS_NOT_LOGGED_IN before that. */
int TLAPI_Login(TLAPI_HANDLE handle, const char* user, const char* password);
/* The connection's socket descriptor, or -1 without a live connection (a
 * connection the NVR has closed is noticed here). For watching only. */
int TLAPI_GetSocket(TLAPI_HANDLE handle);
/* Ends the connection and drops undelivered events; the handle stays valid. */
int TLAPI_Close(TLAPI_HANDLE handle);
/* Releases the handle (closing its connection); later calls reject it. */
int TLAPI_Cleanup(TLAPI_HANDLE handle);

/* Cameras are numbered 0 to count - 1 in ascending id order. */
uint32_t TLAPI_NumCameras(TLAPI_HANDLE handle);
uint32_t TLAPI_GetCameraId(TLAPI_HANDLE handle, uint32_t index);
/* Device address text, empty for an analog camera. */
int TLAPI_GetDeviceIP(TLAPI_HANDLE handle, uint32_t cameraId, char* buffer, int size);
int TLAPI_GetCameraName(TLAPI_HANDLE handle, uint32_t cameraId, char* buffer, int size);

/* Soft triggers are numbered 0 to count - 1 in ascending id order. */
uint32_t TLAPI_NumSoftTriggers(TLAPI_HANDLE handle);
uint32_t TLAPI_GetSoftTriggerId(TLAPI_HANDLE handle, uint32_t index);
int TLAPI_GetSoftTriggerGuid(TLAPI_HANDLE handle, uint32_t softTriggerId, char* buffer, int size);
/* Creates a soft trigger (name and GUID each 1 to 255 bytes). On 0 the NVR
 * confirms it with event 39 carrying the new id, and announces event 3. */
int TLAPI_CreateSoftTriggerWithGuid(TLAPI_HANDLE handle, const char* name, const char* guid);

int TLAPI_GetAssociationForCamera(TLAPI_HANDLE handle, uint32_t cameraId,
                                  TLAPI_ASSOCIATION* association);
int TLAPI_UpdateAssociation(TLAPI_HANDLE handle, TLAPI_ASSOCIATION* association);

/* Event links are numbered 0 to count - 1 in ascending id order. */
uint32_t TLAPI_NumEventLinks(TLAPI_HANDLE handle);
uint32_t TLAPI_GetEventLinkId(TLAPI_HANDLE handle, uint32_t index);
int TLAPI_GetEventLinkInfo(TLAPI_HANDLE handle, TLAPI_EVENT_LINK* link);
int TLAPI_UpdateEventLink(TLAPI_HANDLE handle, TLAPI_EVENT_LINK* link);

/* Why the session's last connection attempt or connection failed, as text
 * for a log line (empty when nothing has failed). Same buffer rules as the
 * text getters; 0 on success, -1 for a bad handle or buffer. */
int TLAPI_GetLastError(TLAPI_HANDLE handle, char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif
