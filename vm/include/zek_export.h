#pragma once
// Every function a deliverable exports is declared with ZEK_EXPORT; everything else stays hidden.
#if defined(_WIN32)
#define ZEK_EXPORT extern "C" __declspec(dllexport)
#else
#define ZEK_EXPORT extern "C" __attribute__((visibility("default")))
#endif
