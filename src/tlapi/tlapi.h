#pragma once

// NVR client library. (Placeholder until the library lands.)
#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif
