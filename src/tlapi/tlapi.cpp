#include "tlapi/tlapi.h"

#include <cstddef>

static_assert(sizeof(TLAPI_ASSOCIATION_ENTRY) == 32, "association entries are 32 bytes");
static_assert(sizeof(TLAPI_EVENT_LINK) == 240, "event link records are 240 bytes");
static_assert(offsetof(TLAPI_EVENT_LINK, sourceType) == 28, "source type at offset 28");
static_assert(offsetof(TLAPI_EVENT_LINK, softTriggerId) == 32, "trigger id at offset 32");
static_assert(offsetof(TLAPI_EVENT_RECORD, confirmed) == 9, "confirmation at offset 9");
static_assert(offsetof(TLAPI_EVENT_RECORD, objectId) == 12, "trigger id at offset 12");
