// Symbol visibility for libposhark.so: the library is built with hidden
// visibility and exports only what carries POSHARK_EXPORT.
#pragma once

#if defined(POSHARK_BUILDING)
#define POSHARK_EXPORT __attribute__((visibility("default")))
#else
#define POSHARK_EXPORT
#endif
