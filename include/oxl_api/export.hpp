#pragma once

/// Marks the classes and functions that liboxl_api exports. The library is built with hidden
/// visibility, so whatever a public header declares without this mark stays inside it.
#if defined(__GNUC__)
#define OXL_API_EXPORT __attribute__((visibility("default")))
#else
#define OXL_API_EXPORT
#endif
